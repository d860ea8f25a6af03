// JPEG decoding: real photographs against ImageMagick's decoding, embedded profiles, EXIF and
// resolution, grey and CMYK layouts, and damaged files.
#include "DecoderTestSupport.h"

#include "engine/Imaging/ImageLimits.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

const std::string iccFolder = "/usr/share/color/icc/ghostscript/";

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
    for (const auto& path : {samplePhoto("rocket.jpg"), samplePhoto("grace_hopper.jpg"),
                             samplePhoto("hubble_deep_field.jpg"), dir / "progressive.jpg", dir / "stray.jpg"}) {
        SCOPED_TRACE(path.filename().string());
        const auto image = decodeRgb8Photo(path);
        ASSERT_TRUE(image);
        EXPECT_LE(maxDifference(packedPixels(*image), magickSamples(path, "rgb")), 2);
    }
}

// A profile in one APP2 segment is kept byte for byte (checked through CutoutFidelity).
TEST(JpegDecoder, ColourSpaceIsTheEmbeddedProfileWhenItFitsTheImage)
{
    TemporaryDirectory dir;
    const auto photo = samplePhoto("grace_hopper.jpg");
    // The CMYK profile is 187 KB: libjpeg splits it over three APP2 segments.
    const auto bigProfile = iccFolder + "default_cmyk.icc";
    convertPhoto("grace_hopper.jpg", "-colorspace CMYK", dir / "cmyk.jpg");
    make("exiftool -q -overwrite_original '-icc_profile<=" + bigProfile + "' " + q(dir / "cmyk.jpg"));
    // The same profile on an RGB image describes other pixels and must not be used.
    make("exiftool -q '-icc_profile<=" + bigProfile + "' -o " + q(dir / "mismatch.jpg") + " " + q(photo));
    ASSERT_EQ(exiftoolTag(dir / "cmyk.jpg", "ColorSpaceData"), "CMYK");

    auto cmyk = decodeFile(dir / "cmyk.jpg");
    ASSERT_TRUE(cmyk) << cmyk.error().description();
    EXPECT_EQ(iccOf(*cmyk), readFileBytes(bigProfile));

    auto mismatch = decodeFile(dir / "mismatch.jpg");
    ASSERT_TRUE(mismatch);
    EXPECT_EQ(mismatch->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));

    auto plain = decodeFile(photo);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
}

TEST(JpegDecoder, GreyAndCMYKKeepTheirComponents)
{
    TemporaryDirectory dir;
    convertPhoto("rocket.jpg", "-colorspace Gray", dir / "grey.jpg");
    // ImageMagick writes CMYK as Adobe-inverted YCCK; the decoder must hand back plain ink values.
    convertPhoto("rocket.jpg", "-colorspace CMYK", dir / "cmyk.jpg");
    ASSERT_EQ(exiftoolTag(dir / "cmyk.jpg", "ColorTransform"), "2");

    auto grey = decodeFile(dir / "grey.jpg");
    ASSERT_TRUE(grey) << grey.error().description();
    EXPECT_EQ(grey->bitsPerPixel(), 8u);
    EXPECT_EQ(grey->bytesPerRow(), grey->width());
    EXPECT_EQ(grey->colorSpace(), ColorSpace::named(ColorSpace::Name::deviceGray));
    EXPECT_LE(maxDifference(packedPixels(*grey), magickSamples(dir / "grey.jpg", "gray")), 2);

    auto cmyk = decodeFile(dir / "cmyk.jpg");
    ASSERT_TRUE(cmyk) << cmyk.error().description();
    EXPECT_EQ(cmyk->bitsPerComponent(), 8u);
    EXPECT_EQ(cmyk->bitsPerPixel(), 32u);
    EXPECT_EQ(cmyk->alphaInfo(), static_cast<uint32_t>(AlphaInfo::none));
    EXPECT_EQ(cmyk->colorSpace(), ColorSpace::named(ColorSpace::Name::deviceCMYK));
    EXPECT_LE(maxDifference(packedPixels(*cmyk), magickSamples(dir / "cmyk.jpg", "cmyk")), 2);
}

TEST(JpegDecoder, ResolutionComesFromJFIFThenEXIF)
{
    TemporaryDirectory dir;
    convertPhoto("grace_hopper.jpg", "-density 300 -units PixelsPerInch", dir / "inch.jpg");
    convertPhoto("grace_hopper.jpg", "-density 118 -units PixelsPerCentimeter", dir / "cm.jpg");
    // JFIF unit 0 states an aspect ratio only: EXIF's resolution is used, and without it none.
    make("exiftool -q -JFIF:ResolutionUnit=none -o " + q(dir / "aspect.jpg") + " " + q(samplePhoto("grace_hopper.jpg")));
    make("exiftool -q -EXIF:XResolution=200 -EXIF:YResolution=150 -EXIF:ResolutionUnit=inches -o " + q(dir / "exif.jpg") +
         " " + q(dir / "aspect.jpg"));

    struct Case {
        std::string name;
        std::optional<double> dpiX, dpiY;
    };
    for (const Case& c : {Case{"inch.jpg", 300, 300}, Case{"cm.jpg", 118 * 2.54, 118 * 2.54},
                          Case{"aspect.jpg", std::nullopt, std::nullopt}, Case{"exif.jpg", 200, 150}}) {
        auto properties = propertiesOf(dir / c.name);
        ASSERT_TRUE(properties) << c.name;
        EXPECT_EQ(properties->dpiWidth.has_value(), c.dpiX.has_value()) << c.name;
        EXPECT_EQ(properties->dpiHeight.has_value(), c.dpiY.has_value()) << c.name;
        if (c.dpiX && properties->dpiWidth && properties->dpiHeight) {
            EXPECT_NEAR(*properties->dpiWidth, *c.dpiX, 1e-6) << c.name;
            EXPECT_NEAR(*properties->dpiHeight, *c.dpiY, 1e-6) << c.name;
        }
    }
}

TEST(JpegDecoder, ExifGivesOrientationAndTags)
{
    TemporaryDirectory dir;
    const auto file = dir / "rotated.jpg";
    make("exiftool -q -Orientation#=6 '-DateTimeOriginal=2021:03:04 05:06:07' -o " + q(file) + " " +
         q(samplePhoto("grace_hopper.jpg")));
    auto properties = propertiesOf(file);
    ASSERT_TRUE(properties) << properties.error().description();
    EXPECT_EQ(properties->orientation, 6);
    ASSERT_TRUE(properties->exif);
    ASSERT_TRUE(properties->exif->count("DateTimeOriginal"));
    const auto& date = properties->exif->at("DateTimeOriginal").bytes;
    EXPECT_EQ(std::string(date.begin(), std::find(date.begin(), date.end(), 0)), "2021:03:04 05:06:07");
    // IFD0 fields are properties of their own, never part of the dictionary.
    EXPECT_FALSE(properties->exif->count("Orientation"));
    EXPECT_EQ(properties->dpiWidth, 96.0);

    auto plain = propertiesOf(samplePhoto("rocket.jpg"));
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->orientation);
}

TEST(JpegDecoder, DamagedFilesAreErrorsNotGreyPatches)
{
    TemporaryDirectory dir;
    const auto whole = readFileBytes(samplePhoto("grace_hopper.jpg"));
    const size_t scan = findMarker(whole, 0xDA);
    ASSERT_NE(scan, std::string::npos);

    auto half = whole;
    half.resize(whole.size() / 2);
    writeFileBytes(dir / "half.jpg", half);
    // An end marker in the middle of the entropy data: libjpeg would pad the rest with grey.
    auto cut = whole;
    cut[scan + (whole.size() - scan) / 2] = 0xFF;
    cut[scan + (whole.size() - scan) / 2 + 1] = 0xD9;
    writeFileBytes(dir / "marker-inside.jpg", cut);
    for (const auto* name : {"half.jpg", "marker-inside.jpg"}) {
        auto properties = propertiesOf(dir / name);
        ASSERT_TRUE(properties) << name << ": the header is intact";
        expectError(decodeFile(dir / name), Kind::corruptData, name == std::string("half.jpg") ? "truncated" : "");
    }

    auto header = whole;
    header.resize(scan / 2);
    writeFileBytes(dir / "header-cut.jpg", header);
    expectError(propertiesOf(dir / "header-cut.jpg"), Kind::corruptData);
}

TEST(JpegDecoder, RefusesHugeDimensionsBeforeAllocating)
{
    TemporaryDirectory dir;
    auto bytes = readFileBytes(samplePhoto("grace_hopper.jpg"));
    const size_t frame = findMarker(bytes, 0xC0);
    ASSERT_NE(frame, std::string::npos);
    // Frame header: marker, length (2), precision (1), height (2), width (2).
    for (size_t at : {frame + 5, frame + 7}) {
        bytes[at] = 60000 >> 8;
        bytes[at + 1] = 60000 & 0xFF;
    }
    writeFileBytes(dir / "huge.jpg", bytes);
    auto properties = propertiesOf(dir / "huge.jpg");
    ASSERT_TRUE(properties);
    EXPECT_EQ(properties->pixelWidth, 60000u);
    expectError(decodeFile(dir / "huge.jpg"), Kind::tooLarge);
}

TEST(JpegDecoder, RefusesAFloodOfProgressiveScans)
{
    TemporaryDirectory dir;
    make("convert -size 64x64 gradient:red-blue -interlace Plane " + shellQuote((dir / "small.jpg").string()));
    auto bytes = readFileBytes(dir / "small.jpg");
    // The first scan (DC, first pass) decodes the same however often it repeats; libjpeg only
    // warns that the progression is odd, so without a limit every copy would be decoded.
    const size_t first = findMarker(bytes, 0xDA);
    ASSERT_NE(first, std::string::npos);
    size_t end = first + 2 + (size_t{bytes[first + 2]} << 8 | bytes[first + 3]);
    while (end + 1 < bytes.size() && !(bytes[end] == 0xFF && bytes[end + 1] != 0 && (bytes[end + 1] & 0xF8) != 0xD0))
        ++end;
    const std::vector<uint8_t> scan(bytes.begin() + static_cast<ptrdiff_t>(first),
                                    bytes.begin() + static_cast<ptrdiff_t>(end));
    auto flood = bytes;
    for (int i = 0; i < 1200; ++i)
        flood.insert(flood.begin() + static_cast<ptrdiff_t>(end), scan.begin(), scan.end());
    writeFileBytes(dir / "flood.jpg", flood);

    auto intact = decodeFile(dir / "small.jpg");
    ASSERT_TRUE(intact) << intact.error().description();
    expectError(decodeFile(dir / "flood.jpg"), Kind::corruptData, "scans");
}

} // namespace
} // namespace pelorin
