// JPEG decoding: real photographs against ImageMagick's decoding, embedded profiles, EXIF and
// resolution, grey and CMYK layouts, and damaged or hostile files.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

// Where the marker `code` (0xFFcode) first starts, or npos.
size_t findMarker(const std::vector<uint8_t>& jpeg, uint8_t code, size_t from = 2)
{
    for (size_t i = from; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code)
            return i;
    return std::string::npos;
}

TEST(JpegDecoder, RealPhotographsMatchImageMagickWithinRoundingOfTheInverseDCT)
{
    TemporaryDirectory dir;
    // A progressive copy exercises the multi-scan path on the same photograph.
    convertPhoto("grace_hopper.jpg", "-interlace Plane -quality 90", dir / "progressive.jpg");
    // Stray bytes between markers: libjpeg warns and skips them; the image is intact.
    auto stray = readFileBytes(samplePhoto("grace_hopper.jpg"));
    const size_t table = findMarker(stray, 0xDB);
    ASSERT_NE(table, std::string::npos);
    stray.insert(stray.begin() + static_cast<ptrdiff_t>(table), {0x00, 0x11, 0x22});
    writeFileBytes(dir / "stray.jpg", stray);
    // 4:4:4 with a profile, and 4:2:0 baseline, progressive and with stray bytes.
    for (const auto& path :
         {samplePhoto("rocket.jpg"), samplePhoto("grace_hopper.jpg"), dir / "progressive.jpg", dir / "stray.jpg"}) {
        SCOPED_TRACE(path.filename().string());
        const auto image = decodeRgb8Photo(path);
        ASSERT_TRUE(image);
        EXPECT_LE(maxDifference(packedPixels(*image), magickRaw(path, "rgb")), 2);
    }
}

// A profile in one APP2 segment is kept byte for byte (checked through CutoutFidelity). Here grey
// and CMYK keep their components (ImageMagick writes CMYK as Adobe-inverted YCCK; the decoder hands
// back plain ink values), and a profile split over three segments is used only where it fits.
TEST(JpegDecoder, GreyAndCmykKeepTheirComponentsAndAProfileOnlyWhereItFits)
{
    TemporaryDirectory dir;
    const auto photo = samplePhoto("grace_hopper.jpg");
    const std::string bigProfile = "/usr/share/color/icc/ghostscript/default_cmyk.icc"; // 187 KB
    convertPhoto("grace_hopper.jpg", "-colorspace Gray", dir / "grey.jpg");
    convertPhoto("grace_hopper.jpg", "-colorspace CMYK", dir / "plain-cmyk.jpg");
    ASSERT_EQ(exiftoolTag(dir / "plain-cmyk.jpg", "ColorTransform"), "2");
    make("exiftool -q '-icc_profile<=" + bigProfile + "' -o " + q(dir / "cmyk.jpg") + " " + q(dir / "plain-cmyk.jpg"));
    make("exiftool -q '-icc_profile<=" + bigProfile + "' -o " + q(dir / "mismatch.jpg") + " " + q(photo));

    for (const auto& [name, layout, components] :
         {std::tuple{"grey.jpg", "gray", size_t{1}}, {"cmyk.jpg", "cmyk", size_t{4}}}) {
        const auto image = ok(decodeFile(dir / name));
        const size_t w = image.width();
        EXPECT_EQ(
            image.format(),
            (ImageFormat{w, image.height(), 8, 8 * components, w * components, BitmapInfo::make(AlphaInfo::none)}));
        EXPECT_EQ(image.colorSpace(),
                  components == 1 ? ColorSpace::named(ColorSpace::Name::deviceGray)
                                  : ColorSpace::fromICCProfile(readFileBytes(bigProfile)));
        EXPECT_LE(maxDifference(packedPixels(image), magickRaw(dir / name, layout)), 2);
    }
    // The CMYK profile on an RGB image describes other pixels.
    for (const auto& [path, space] : {std::pair{dir / "mismatch.jpg", ColorSpace::Name::sRGB},
                                      {dir / "plain-cmyk.jpg", ColorSpace::Name::deviceCMYK}}) {
        const auto image = ok(decodeFile(path));
        EXPECT_EQ(image.colorSpace(), ColorSpace::named(space)) << path;
    }
}

// Dots per inch, orientation and EXIF tags are checked through CutoutFidelity.
TEST(JpegDecoder, ResolutionComesFromJFIFThenEXIF)
{
    TemporaryDirectory dir;
    convertPhoto("grace_hopper.jpg", "-density 118 -units PixelsPerCentimeter", dir / "cm.jpg");
    // JFIF unit 0 states an aspect ratio only: EXIF's resolution is used, and without it none.
    make("exiftool -q -JFIF:ResolutionUnit=none -o " + q(dir / "aspect.jpg") + " "
         + q(samplePhoto("grace_hopper.jpg")));
    make("exiftool -q -EXIF:XResolution=200 -EXIF:YResolution=150 -EXIF:ResolutionUnit=inches -o " + q(dir / "exif.jpg")
         + " " + q(dir / "aspect.jpg"));

    for (const auto& [name, dpiX, dpiY] :
         {std::tuple{"cm.jpg", 118 * 2.54, 118 * 2.54}, {"aspect.jpg", 0.0, 0.0}, {"exif.jpg", 200.0, 150.0}}) {
        const auto properties = ok(propertiesOf(dir / name));
        EXPECT_NEAR(properties.dpiWidth.value_or(0), dpiX, 1e-6) << name;
        EXPECT_NEAR(properties.dpiHeight.value_or(0), dpiY, 1e-6) << name;
    }
}

// Cuts across the file are DamagedFile's, forged huge sizes the fuzz target's (within its
// allocation limit).
TEST(JpegDecoder, DamagedFilesAndScanFloodsAreErrorsNotGreyPatches)
{
    TemporaryDirectory dir;
    const auto whole = readFileBytes(samplePhoto("grace_hopper.jpg"));
    const size_t scan = findMarker(whole, 0xDA);
    ASSERT_NE(scan, std::string::npos);

    // An end marker in the middle of the entropy data: libjpeg would pad the rest with grey.
    auto cut = whole;
    cut[scan + (whole.size() - scan) / 2] = 0xFF;
    cut[scan + (whole.size() - scan) / 2 + 1] = 0xD9;
    writeFileBytes(dir / "marker-inside.jpg", cut);
    EXPECT_TRUE(propertiesOf(dir / "marker-inside.jpg")) << "the header is intact";
    expectError(decodeFile(dir / "marker-inside.jpg"), Kind::corruptData);

    writeFileBytes(dir / "header-cut.jpg", {whole.begin(), whole.begin() + ptrdiff_t(scan / 2)});
    expectError(propertiesOf(dir / "header-cut.jpg"), Kind::corruptData);

    // A flood of progressive scans: the first scan (DC, first pass) decodes the same however often
    // it repeats; libjpeg only warns that the progression is odd, so without a limit every copy
    // would be decoded.
    make("convert -size 64x64 gradient:red-blue -interlace Plane " + shellQuote((dir / "small.jpg").string()));
    auto bytes = readFileBytes(dir / "small.jpg");
    const size_t first = findMarker(bytes, 0xDA);
    ASSERT_NE(first, std::string::npos);
    size_t end = first + 2 + (size_t{bytes[first + 2]} << 8 | bytes[first + 3]);
    while (end + 1 < bytes.size() && !(bytes[end] == 0xFF && bytes[end + 1] != 0 && (bytes[end + 1] & 0xF8) != 0xD0))
        ++end;
    const std::vector<uint8_t> firstScan(bytes.begin() + ptrdiff_t(first), bytes.begin() + ptrdiff_t(end));
    ASSERT_TRUE(decodeFile(dir / "small.jpg"));
    for (int i = 0; i < 1200; ++i)
        bytes.insert(bytes.begin() + ptrdiff_t(end), firstScan.begin(), firstScan.end());
    writeFileBytes(dir / "flood.jpg", bytes);
    expectError(decodeFile(dir / "flood.jpg"), Kind::corruptData, "scans");
}

} // namespace
} // namespace pelorin
