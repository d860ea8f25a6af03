// TIFF decoding: files ImageMagick makes from real photographs in every storage layout we claim,
// compared sample for sample with ImageMagick's own reading; header properties checked against
// what ImageMagick and exiftool wrote; damaged, truncated and forged files refused cleanly.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <array>
#include <cstring>

namespace pelorin {
namespace {

using test::TemporaryDirectory;
using Kind = ImageSourceError::Kind;

struct DecodeCase {
    const char* name;
    const char* photo;
    const char* options;   // how ImageMagick writes the TIFF
    const char* reference; // ImageMagick's raw layout for the comparison
    const char* referenceOptions;
    int depth; // of the decoded samples: 8, 16, or 32 for float
    AlphaInfo alpha;
    int tolerance; // in 8/16-bit steps; float cases compare within 1e-4
};

// Alpha from the photograph's own luminance: smooth, and different in every part of the image.
constexpr const char* lumaAlpha = "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite";

class TiffDecodesLikeImageMagick : public testing::TestWithParam<DecodeCase> {};

TEST_P(TiffDecodesLikeImageMagick, SamplesMatch)
{
    const DecodeCase& c = GetParam();
    TemporaryDirectory dir;
    const auto file = test::convertPhoto(c.photo, c.options, dir / "image.tif");
    const auto image = test::ok(test::decodeFile(file));

    const std::string reference = c.reference;
    const int channels = reference == "gray" ? 1 : reference == "graya" ? 2 : reference == "rgb" ? 3 : 4;
    const uint32_t order = c.depth == 16 ? BitmapInfo::byteOrder16Little
        : c.depth == 32                  ? BitmapInfo::floatComponents | BitmapInfo::byteOrder32Little
                                         : 0;
    EXPECT_EQ(image.format(),
              (ImageFormat{image.width(), image.height(), size_t(c.depth), size_t(c.depth * channels),
                           image.width() * c.depth * channels / 8, BitmapInfo::make(c.alpha, order)}));
    // Without a profile, the space is named after the samples.
    EXPECT_EQ(image.colorSpace(),
              ColorSpace::named(channels <= 2             ? ColorSpace::Name::deviceGray
                                    : reference == "cmyk" ? ColorSpace::Name::deviceCMYK
                                                          : ColorSpace::Name::sRGB));

    const auto ours = test::packedPixels(image);
    const auto theirs = test::magickRaw(file, reference, c.depth, c.referenceOptions);
    ASSERT_EQ(ours.size(), theirs.size());
    const auto sample = [&](const std::vector<uint8_t>& v, size_t i) -> double {
        float f = 0;
        return c.depth == 8 ? v[i]
            : c.depth == 16 ? v[i] | v[i + 1] << 8
                            : (std::memcpy(&f, &v[i], 4), f * 1e4); // steps of 1e-4
    };
    double worst = 0;
    for (size_t i = 0; i < ours.size(); i += c.depth / 8)
        worst = std::max(worst, std::abs(sample(ours, i) - sample(theirs, i)));
    EXPECT_LE(worst, c.tolerance);
}

// Contiguous 8-bit alpha, grey with alpha and 16-bit little-endian samples are read back exactly
// in TiffEncoder's round trips.
INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffDecodesLikeImageMagick,
    testing::Values(
        DecodeCase{"LzwPredictor8", "coffee.png", "-compress lzw -define tiff:predictor=2", "rgb", "", 8,
                   AlphaInfo::none, 0},
        DecodeCase{"BigEndian16", "astronaut.png", "-depth 16 -endian MSB", "rgb", "", 16, AlphaInfo::none, 0},
        DecodeCase{
            "PlanarAlpha16", "chelsea.png",
            "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite -depth 16 -interlace plane",
            "rgba", "", 16, AlphaInfo::last, 0},
        DecodeCase{"Grey4", "chelsea.png", "-colorspace gray -depth 4", "gray", "", 8, AlphaInfo::none, 0},
        DecodeCase{"BilevelFaxMinIsWhite", "chelsea.png", "-monochrome -compress group4", "gray", "", 8,
                   AlphaInfo::none, 0},
        // The 16-bit colour map: ImageMagick truncates to 8 bits where we round.
        DecodeCase{"Palette8", "astronaut.png", "-colors 200 -type palette", "rgb", "", 8, AlphaInfo::none, 1},
        DecodeCase{"Cmyk", "astronaut.png", "-colorspace cmyk", "cmyk", "", 8, AlphaInfo::none, 0},
        DecodeCase{"Float32", "coffee.png", "-define quantum:format=floating-point -depth 32", "rgb", "", 32,
                   AlphaInfo::none, 1},
        DecodeCase{"PartialTiles", "chelsea.png", "-define tiff:tile-geometry=128x128", "rgb", "", 8, AlphaInfo::none,
                   0},
        DecodeCase{"PlanarTiles16", "chelsea.png", "-define tiff:tile-geometry=128x128 -interlace plane -depth 16",
                   "rgb", "", 16, AlphaInfo::none, 0},
        // Uncompressed YCbCr goes through libtiff's RGBA interface, which pads to four bytes.
        DecodeCase{"UncompressedYCbCr", "chelsea.png", "-colorspace YCbCr -compress none", "rgba", "-colorspace sRGB",
                   8, AlphaInfo::noneSkipLast, 2}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// JPEG-compressed YCbCr as cameras and scanners write it, 4:2:0, which ImageMagick cannot write:
// libtiff itself writes it here from a photograph's RGB samples.
TEST(TiffDecoder, SubsampledJpegYCbCrComesOutAsRgbLikeImageMagicksReading)
{
    TemporaryDirectory dir;
    const auto rgb = test::magickRaw(test::samplePhoto("chelsea.png"), "rgb");
    ASSERT_EQ(rgb.size(), 451u * 300 * 3);
    const auto file = dir / "subsampled.tif";
    TIFF* tif = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    for (const auto& [tag, value] : {std::pair{TIFFTAG_IMAGEWIDTH, 451},
                                     {TIFFTAG_IMAGELENGTH, 300},
                                     {TIFFTAG_BITSPERSAMPLE, 8},
                                     {TIFFTAG_SAMPLESPERPIXEL, 3},
                                     {TIFFTAG_COMPRESSION, COMPRESSION_JPEG},
                                     {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR},
                                     {TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB},
                                     {TIFFTAG_ROWSPERSTRIP, 16}})
        TIFFSetField(tif, tag, value);
    TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
    bool ok = true;
    for (uint32_t y = 0; y < 300; ++y)
        ok = ok && TIFFWriteScanline(tif, const_cast<uint8_t*>(&rgb[size_t{y} * 451 * 3]), y, 0) == 1;
    ok = ok && TIFFWriteDirectory(tif);
    TIFFClose(tif);
    ASSERT_TRUE(ok);
    ASSERT_EQ(test::exiftoolTag(file, "YCbCrSubSampling"), "2 2");

    const auto image = test::ok(test::decodeFile(file));
    EXPECT_EQ(image.bitsPerPixel(), 24u);
    const auto ours = test::packedPixels(image);
    EXPECT_EQ(test::maxDifference(ours, test::magickRaw(file, "rgb")), 0);
    EXPECT_LE(test::maxDifference(ours, rgb), 64); // lossy, yet the same picture
}

TEST(TiffDecoder, AssociatedAlphaIsReportedPremultipliedAndUnspecifiedAsPadding)
{
    TemporaryDirectory dir;
    test::convertPhoto("chelsea.png", std::string(lumaAlpha) + " -define tiff:alpha=associated", dir / "assoc.tif");
    test::convertPhoto("chelsea.png", "-alpha set -define tiff:alpha=unspecified", dir / "padded.tif");
    ASSERT_EQ(test::exiftoolTag(dir / "assoc.tif", "ExtraSamples"), "1");
    ASSERT_EQ(test::exiftoolTag(dir / "padded.tif", "ExtraSamples"), "0");

    const auto assoc = test::ok(test::decodeFile(dir / "assoc.tif"));
    EXPECT_EQ(assoc.alphaInfo(), static_cast<uint32_t>(AlphaInfo::premultipliedLast));
    // Stored as written: colour never exceeds its alpha.
    const auto pixels = test::packedPixels(assoc);
    for (size_t i = 0; i < pixels.size(); i += 4)
        ASSERT_LE(std::max({pixels[i], pixels[i + 1], pixels[i + 2]}), pixels[i + 3]) << "pixel " << i / 4;

    const auto padded = test::ok(test::decodeFile(dir / "padded.tif"));
    EXPECT_EQ(padded.alphaInfo(), static_cast<uint32_t>(AlphaInfo::noneSkipLast));
    EXPECT_EQ(padded.bitsPerPixel(), 32u);
}

// Resolutions in inches, orientation and the Exif IFD (in either byte order) are checked
// through CutoutFidelity.
TEST(TiffDecoder, PropertiesGiveResolutionInInchesWhateverTheUnit)
{
    TemporaryDirectory dir;
    test::convertPhoto("astronaut.png", "-density 118.11 -units PixelsPerCentimeter", dir / "cm.tif");
    test::make("exiftool -q -overwrite_original -ResolutionUnit=None "
               + test::q(test::convertPhoto("astronaut.png", "", dir / "none.tif")));
    for (const auto& [name, dpiX, dpiY] : {std::tuple{"cm.tif", 300.0, 300.0}, {"none.tif", 0.0, 0.0}}) {
        SCOPED_TRACE(name);
        const auto properties = test::ok(test::propertiesOf(dir / name));
        EXPECT_NEAR(properties.dpiWidth.value_or(0), dpiX, 0.01);
        EXPECT_NEAR(properties.dpiHeight.value_or(0), dpiY, 0.01);
    }
}

// A little-endian grey TIFF with its directory first and its pixels in one strip after it, so
// that cutting the file short damages only the pixel data.
std::vector<uint8_t> forgeGreyTiff(uint32_t width, uint32_t height, const std::vector<uint8_t>& pixels)
{
    const std::vector<std::array<uint32_t, 4>> entries = {
        {256, 4, 1, width}, {257, 4, 1, height}, {258, 3, 1, 8},
        {259, 3, 1, 1},     {262, 3, 1, 1},      {273, 4, 1, 8 + 2 + 12 * 9 + 4 /* the pixels, after the directory */},
        {277, 3, 1, 1},     {278, 4, 1, height}, {279, 4, 1, width * height}, // may wrap; never read
    };
    std::vector<uint8_t> file = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            file.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(entries.size()), 2);
    for (const auto& entry : entries) // tag and type in 2 bytes, count and value in 4 (a SHORT in the low half)
        for (size_t k = 0; k < 4; ++k)
            put(entry[k], k < 2 ? 2 : 4);
    put(0, 4);
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

// Truncation before the directory is DamagedFile's. libtiff's complaints go to our errors, never
// to stderr.
TEST(TiffDecoder, CutStripsAndAbsurdSizesAreErrorsWithNothingPrinted)
{
    const auto pixels = test::randomBytes(64 * 64, 7);
    auto forged = forgeGreyTiff(64, 64, pixels);
    testing::internal::CaptureStderr();
    const auto intact = test::ok(test::decodeFile(test::shared(forged)));
    EXPECT_EQ(test::packedPixels(intact), pixels);
    forged.resize(forged.size() - pixels.size() / 2);
    EXPECT_TRUE(test::propertiesOf(test::shared(forged)));
    test::expectError(test::decodeFile(test::shared(forged)), Kind::corruptData, "strip 0");

    const auto huge = forgeGreyTiff(100000, 100000, test::randomBytes(4096, 1));
    const auto properties = test::ok(test::propertiesOf(test::shared(huge)));
    EXPECT_EQ(properties.pixelHeight, 100000u);
    test::expectError(test::decodeFile(test::shared(huge)), Kind::tooLarge, "100000");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

} // namespace
} // namespace pelorin
