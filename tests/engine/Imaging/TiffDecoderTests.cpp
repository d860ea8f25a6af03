// TIFF decoding: files ImageMagick makes from real photographs in every storage layout we claim,
// compared sample for sample with ImageMagick's own reading; header properties checked against
// what ImageMagick and exiftool wrote; damaged, truncated and forged files refused cleanly.
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/Tiff/TiffDecoder.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <random>

namespace pelorin {
namespace {

using test::TemporaryDirectory;
using Kind = ImageSourceError::Kind;

Result<Image, ImageSourceError> decodeBytes(const std::vector<uint8_t>& bytes)
{
    return TiffDecoder(std::make_shared<const std::vector<uint8_t>>(bytes)).decode();
}

Result<ImageProperties, ImageSourceError> propertiesOfBytes(const std::vector<uint8_t>& bytes)
{
    return TiffDecoder(std::make_shared<const std::vector<uint8_t>>(bytes)).properties();
}

int channelsOf(const std::string& layout)
{
    return layout == "gray" ? 1 : layout == "graya" ? 2 : layout == "rgb" ? 3 : 4;
}

struct DecodeCase {
    const char* name;
    const char* photo;
    const char* options;     // how ImageMagick writes the TIFF
    const char* reference;   // ImageMagick's raw layout for the comparison
    const char* referenceOptions;
    int depth;               // of the decoded samples: 8, 16, or 32 for float
    AlphaInfo alpha;
    int tolerance;           // in 8/16-bit steps; float cases compare within 1e-4
};

void PrintTo(const DecodeCase& c, std::ostream* os)
{
    *os << c.name;
}

// Alpha from the photograph's own luminance: smooth, and different in every part of the image.
constexpr const char* lumaAlpha = "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite";

class TiffDecodesLikeImageMagick : public testing::TestWithParam<DecodeCase> {};

TEST_P(TiffDecodesLikeImageMagick, SamplesMatch)
{
    const DecodeCase& c = GetParam();
    TemporaryDirectory dir;
    const auto file = test::convertPhoto(c.photo, c.options, dir / "image.tif");
    auto image = test::decodeFile(file);
    ASSERT_TRUE(image) << image.error().description();

    const int channels = channelsOf(c.reference);
    EXPECT_EQ(image->bitsPerComponent(), static_cast<size_t>(c.depth));
    EXPECT_EQ(image->bitsPerPixel(), static_cast<size_t>(c.depth * channels));
    EXPECT_EQ(image->alphaInfo(), static_cast<uint32_t>(c.alpha));
    EXPECT_EQ(BitmapInfo::hasFloatComponents(image->bitmapInfo()), c.depth == 32);
    if (c.depth == 16) {
        EXPECT_EQ(BitmapInfo::byteOrder(image->bitmapInfo()), BitmapInfo::byteOrder16Little);
    }
    ASSERT_TRUE(image->colorSpace());
    const std::string reference = c.reference;
    EXPECT_EQ(image->colorSpace()->componentCount(), channels <= 2 ? 1 : reference == "cmyk" ? 4 : 3);

    const auto ours = test::packedPixels(*image);
    const auto theirs = test::magickRaw(file, c.reference, c.depth, c.referenceOptions);
    ASSERT_EQ(ours.size(), theirs.size());
    ASSERT_EQ(ours.size(), image->width() * image->height() * channels * c.depth / 8);
    double worst = 0;
    size_t worstAt = 0;
    for (size_t i = 0; i < ours.size(); i += c.depth / 8) {
        double a, b;
        if (c.depth == 8) {
            a = ours[i], b = theirs[i];
        } else if (c.depth == 16) {
            a = ours[i] | ours[i + 1] << 8, b = theirs[i] | theirs[i + 1] << 8;
        } else {
            float fa, fb;
            std::memcpy(&fa, &ours[i], 4);
            std::memcpy(&fb, &theirs[i], 4);
            a = fa * 1e4, b = fb * 1e4; // a step of 1e-4
        }
        if (std::abs(a - b) > worst)
            worst = std::abs(a - b), worstAt = i;
    }
    EXPECT_LE(worst, c.tolerance) << "at byte " << worstAt << " of " << ours.size();
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, TiffDecodesLikeImageMagick,
    testing::Values(
        DecodeCase{"Deflate8", "astronaut.png", "-compress zip", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"LzwPredictor8", "coffee.png", "-compress lzw -define tiff:predictor=2", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"Uncompressed8", "chelsea.png", "-compress none", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"BigEndian16", "astronaut.png", "-depth 16 -endian MSB", "rgb", "", 16, AlphaInfo::none, 0},
        DecodeCase{"LittleEndian16Lzw", "astronaut.png", "-depth 16 -endian LSB -compress lzw", "rgb", "", 16, AlphaInfo::none, 0},
        DecodeCase{"UnassociatedAlpha8", "motorcycle_left.png", lumaAlpha, "rgba", "", 8, AlphaInfo::last, 0},
        DecodeCase{"PlanarAlpha16", "chelsea.png", "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite -depth 16 -interlace plane",
                   "rgba", "", 16, AlphaInfo::last, 0},
        DecodeCase{"Grey8", "astronaut.png", "-colorspace gray", "gray", "", 8, AlphaInfo::none, 0},
        DecodeCase{"GreyAlpha16Planar", "coffee.png", "-colorspace gray \\( +clone -negate \\) -alpha off -compose copy_opacity -composite -depth 16 -interlace plane",
                   "graya", "", 16, AlphaInfo::last, 0},
        DecodeCase{"Grey4", "chelsea.png", "-colorspace gray -depth 4", "gray", "", 8, AlphaInfo::none, 0},
        DecodeCase{"BilevelFaxMinIsWhite", "chelsea.png", "-monochrome -compress group4", "gray", "", 8, AlphaInfo::none, 0},
        // The 16-bit colour map: ImageMagick truncates to 8 bits where we round.
        DecodeCase{"Palette8", "astronaut.png", "-colors 200 -type palette", "rgb", "", 8, AlphaInfo::none, 1},
        DecodeCase{"Palette4", "chelsea.png", "-colors 16 -type palette -depth 4", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"Cmyk", "astronaut.png", "-colorspace cmyk", "cmyk", "", 8, AlphaInfo::none, 0},
        DecodeCase{"Float32", "coffee.png", "-define quantum:format=floating-point -depth 32", "rgb", "", 32, AlphaInfo::none, 1},
        DecodeCase{"PartialTiles", "chelsea.png", "-define tiff:tile-geometry=128x128", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"PlanarTiles16", "chelsea.png", "-define tiff:tile-geometry=128x128 -interlace plane -depth 16", "rgb", "", 16, AlphaInfo::none, 0},
        DecodeCase{"PlanarStrips", "astronaut.png", "-interlace plane -define tiff:rows-per-strip=7", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"JpegRgb", "rocket.jpg", "-compress jpeg -quality 90", "rgb", "", 8, AlphaInfo::none, 0},
        DecodeCase{"JpegYCbCr", "astronaut.png", "-colorspace YCbCr -compress jpeg", "rgb", "-colorspace sRGB", 8, AlphaInfo::none, 2},
        // Uncompressed YCbCr goes through libtiff's RGBA interface, which pads to four bytes.
        DecodeCase{"UncompressedYCbCr", "chelsea.png", "-colorspace YCbCr -compress none", "rgba", "-colorspace sRGB", 8,
                   AlphaInfo::noneSkipLast, 2}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

// ImageMagick writes YCbCr JPEG only unsubsampled; libtiff itself writes the usual 4:2:0, here
// from a photograph's RGB samples, in strips or in 64 × 64 tiles (partial at the edges).
void writeSubsampledJpegTiff(const std::filesystem::path& file, const std::vector<uint8_t>& rgb, uint32_t width,
                             uint32_t height, bool tiled)
{
    TIFF* tif = TIFFOpen(file.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
    TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
    TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    bool ok = true;
    if (tiled) {
        TIFFSetField(tif, TIFFTAG_TILEWIDTH, 64);
        TIFFSetField(tif, TIFFTAG_TILELENGTH, 64);
        std::vector<uint8_t> tile(64 * 64 * 3);
        for (uint32_t ty = 0; ty < height; ty += 64)
            for (uint32_t tx = 0; tx < width; tx += 64) {
                for (uint32_t y = 0; y < 64; ++y)
                    for (uint32_t x = 0; x < 64; ++x) {
                        const size_t from = (size_t{std::min(ty + y, height - 1)} * width + std::min(tx + x, width - 1)) * 3;
                        std::memcpy(&tile[(y * 64 + x) * 3], &rgb[from], 3);
                    }
                ok = ok && TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0) > 0;
            }
    } else {
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
        for (uint32_t y = 0; y < height; ++y)
            ok = ok && TIFFWriteScanline(tif, const_cast<uint8_t*>(&rgb[size_t{y} * width * 3]), y, 0) == 1;
    }
    ok = ok && TIFFWriteDirectory(tif);
    TIFFClose(tif);
    ASSERT_TRUE(ok);
}

TEST(TiffDecoder, SubsampledJpegYCbCrComesOutAsRgbLikeImageMagicksReading)
{
    TemporaryDirectory dir;
    const auto photo = test::samplePhoto("chelsea.png");
    const auto rgb = test::magickSamples(photo, "rgb");
    ASSERT_EQ(rgb.size(), 451u * 300 * 3);
    for (const bool tiled : {false, true}) {
        SCOPED_TRACE(tiled ? "tiles" : "strips");
        const auto file = dir / (tiled ? "tiles.tif" : "strips.tif");
        writeSubsampledJpegTiff(file, rgb, 451, 300, tiled);
        ASSERT_EQ(test::exiftoolTag(file, "YCbCrSubSampling"), "2 2");
        auto image = test::decodeFile(file);
        ASSERT_TRUE(image) << image.error().description();
        EXPECT_EQ(image->bitsPerPixel(), 24u);
        const auto ours = test::packedPixels(*image);
        EXPECT_EQ(test::maxDifference(ours, test::magickSamples(file, "rgb")), 0);
        EXPECT_LE(test::maxDifference(ours, rgb), 64); // lossy, yet the same picture
    }
}

// An embedded profile is kept byte for byte (checked through CutoutFidelity); without one, the
// space is named after the samples.
TEST(TiffDecoder, NamesTheSpaceWithoutAProfile)
{
    TemporaryDirectory dir;
    for (const auto& [options, space] : {std::pair{"", ColorSpace::Name::sRGB}, {"-colorspace gray", ColorSpace::Name::deviceGray},
                                         {"-colorspace cmyk", ColorSpace::Name::deviceCMYK}}) {
        auto image = test::decodeFile(test::convertPhoto("coffee.png", options, dir / "named.tif"));
        ASSERT_TRUE(image) << image.error().description();
        EXPECT_EQ(image->colorSpace(), ColorSpace::named(space)) << options;
    }
}

TEST(TiffDecoder, AssociatedAlphaIsReportedPremultipliedAndUnspecifiedAsPadding)
{
    TemporaryDirectory dir;
    test::convertPhoto("chelsea.png", std::string(lumaAlpha) + " -define tiff:alpha=associated", dir / "assoc.tif");
    test::convertPhoto("chelsea.png", "-alpha set -define tiff:alpha=unspecified", dir / "padded.tif");
    ASSERT_EQ(test::exiftoolTag(dir / "assoc.tif", "ExtraSamples"), "1");
    ASSERT_EQ(test::exiftoolTag(dir / "padded.tif", "ExtraSamples"), "0");

    auto assoc = test::decodeFile(dir / "assoc.tif");
    ASSERT_TRUE(assoc) << assoc.error().description();
    EXPECT_EQ(assoc->alphaInfo(), static_cast<uint32_t>(AlphaInfo::premultipliedLast));
    // Stored as written: colour never exceeds its alpha.
    const auto pixels = test::packedPixels(*assoc);
    size_t over = 0;
    for (size_t i = 0; i < pixels.size(); i += 4)
        over += pixels[i] > pixels[i + 3] || pixels[i + 1] > pixels[i + 3] || pixels[i + 2] > pixels[i + 3];
    EXPECT_EQ(over, 0u);

    auto padded = test::decodeFile(dir / "padded.tif");
    ASSERT_TRUE(padded) << padded.error().description();
    EXPECT_EQ(padded->alphaInfo(), static_cast<uint32_t>(AlphaInfo::noneSkipLast));
    EXPECT_EQ(padded->bitsPerPixel(), 32u);
}

TEST(TiffDecoder, PropertiesGiveOrientationAndResolutionInInchesWithoutDecoding)
{
    TemporaryDirectory dir;
    test::convertPhoto("astronaut.png", "-orient RightTop -density 300x150 -units PixelsPerInch", dir / "inch.tif");
    test::convertPhoto("astronaut.png", "-density 118.11 -units PixelsPerCentimeter", dir / "cm.tif");
    test::make("exiftool -q -overwrite_original -ResolutionUnit=None " +
               test::q(test::convertPhoto("astronaut.png", "", dir / "none.tif")));

    auto inch = test::propertiesOf(dir / "inch.tif");
    ASSERT_TRUE(inch) << inch.error().description();
    EXPECT_EQ(inch->pixelWidth, 512u);
    EXPECT_EQ(inch->pixelHeight, 512u);
    EXPECT_EQ(inch->orientation, 6);
    ASSERT_TRUE(inch->dpiWidth && inch->dpiHeight);
    EXPECT_DOUBLE_EQ(*inch->dpiWidth, 300);
    EXPECT_DOUBLE_EQ(*inch->dpiHeight, 150);
    EXPECT_FALSE(inch->exif);

    auto cm = test::propertiesOf(dir / "cm.tif");
    ASSERT_TRUE(cm) << cm.error().description();
    ASSERT_TRUE(cm->dpiWidth && cm->dpiHeight);
    EXPECT_NEAR(*cm->dpiWidth, 300, 0.01);
    EXPECT_NEAR(*cm->dpiHeight, 300, 0.01);
    EXPECT_EQ(cm->orientation, 1); // ImageMagick writes the default

    auto none = test::propertiesOf(dir / "none.tif");
    ASSERT_TRUE(none) << none.error().description();
    EXPECT_FALSE(none->dpiWidth);
    EXPECT_FALSE(none->dpiHeight);
}

// Tags as a camera would leave them, in IFD0, the Exif IFD and the GPS IFD.
const char* const cameraTags = "-DateTimeOriginal='2023:05:06 07:08:09' -ExposureTime=1/250 -FNumber=2.8 -ISO=400 "
                               "-LensModel='Test Lens 35mm' -Make=Maker -Model=Camera "
                               "-GPSLatitude=48.8584 -GPSLatitudeRef=N -GPSLongitude=2.2945 -GPSLongitudeRef=E";

void expectCameraExif(const ImageProperties& properties)
{
    ASSERT_TRUE(properties.exif);
    const auto& exif = *properties.exif;
    ASSERT_TRUE(exif.count("DateTimeOriginal"));
    const auto& date = exif.at("DateTimeOriginal");
    EXPECT_EQ(date.type, 2);
    EXPECT_EQ(std::string(date.bytes.begin(), date.bytes.end()), std::string("2023:05:06 07:08:09\0", 20));
    ASSERT_TRUE(exif.count("ExposureTime"));
    EXPECT_EQ(exif.at("ExposureTime").bytes, (std::vector<uint8_t>{1, 0, 0, 0, 250, 0, 0, 0}));
    ASSERT_TRUE(exif.count("FNumber"));
    EXPECT_EQ(exif.at("FNumber").type, 5);
    ASSERT_TRUE(exif.count("ISOSpeedRatings"));
    EXPECT_EQ(exif.at("ISOSpeedRatings").bytes, (std::vector<uint8_t>{144, 1}));
    EXPECT_TRUE(exif.count("LensModel"));
    for (const auto& [name, value] : exif) {
        EXPECT_EQ(name.find("GPS"), std::string::npos) << name;
        EXPECT_NE(value.tag, 0x010f) << name; // Make
        EXPECT_NE(value.tag, 0x0110) << name; // Model
    }
}

// In either byte order, and after 48 MB of uncompressed pixels (exiftool appends the Exif IFD).
TEST(TiffDecoder, ExifIsTheExifIfdOnlyWhereverItIs)
{
    TemporaryDirectory dir;
    for (const char* options : {"-endian MSB", "-endian LSB", "-resize 4000x4000! -compress none"}) {
        SCOPED_TRACE(options);
        const auto file = test::convertPhoto("rocket.jpg", options, dir / "exif.tif");
        test::make(std::string("exiftool -q -overwrite_original ") + cameraTags + " " + file.string());
        auto properties = propertiesOfBytes(test::readFileBytes(file));
        ASSERT_TRUE(properties) << properties.error().description();
        expectCameraExif(*properties);
    }
}

// A little-endian grey TIFF with its directory first and its pixels in one strip after it, so
// that cutting the file short damages only the pixel data.
std::vector<uint8_t> forgeGreyTiff(uint32_t width, uint32_t height, const std::vector<uint8_t>& pixels)
{
    std::vector<std::array<uint32_t, 4>> entries = {
        {256, 4, 1, width},  {257, 4, 1, height}, {258, 3, 1, 8},
        {259, 3, 1, 1},      {262, 3, 1, 1},      {273, 4, 1, 0 /* pixel offset */},
        {277, 3, 1, 1},      {278, 4, 1, height}, {279, 4, 1, width * height}, // may wrap; never read
    };
    const uint32_t pixelOffset = 8 + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
    entries[5][3] = pixelOffset;
    std::vector<uint8_t> file = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            file.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    put(static_cast<uint32_t>(entries.size()), 2);
    for (const auto& [tag, type, count, value] : entries) {
        put(tag, 2);
        put(type, 2);
        put(count, 4);
        put(value, type == 3 ? 2 : 4);
        if (type == 3)
            put(0, 2);
    }
    put(0, 4);
    file.insert(file.end(), pixels.begin(), pixels.end());
    return file;
}

TEST(TiffDecoder, TruncatedFilesFailWithAClearMessageInsteadOfGivingZeros)
{
    TemporaryDirectory dir;
    auto whole = test::readFileBytes(test::convertPhoto("astronaut.png", "-compress lzw", dir / "photo.tif"));
    ASSERT_TRUE(decodeBytes(whole));
    whole.resize(whole.size() / 2); // ImageMagick writes the directory last: it is gone
    test::expectError(decodeBytes(whole), Kind::corruptData, "TIFF");

    // Directory first, pixels cut: the header is fine, the strip is short.
    const auto pixels = test::randomBytes(64 * 64, 7);
    auto forged = forgeGreyTiff(64, 64, pixels);
    auto intact = decodeBytes(forged);
    ASSERT_TRUE(intact) << intact.error().description();
    EXPECT_EQ(test::packedPixels(*intact), pixels);
    forged.resize(forged.size() - pixels.size() / 2);
    ASSERT_TRUE(propertiesOfBytes(forged));
    test::expectError(decodeBytes(forged), Kind::corruptData, "strip 0");
}

TEST(TiffDecoder, AbsurdDimensionsAreRefusedBeforeAllocating)
{
    const auto forged = forgeGreyTiff(100000, 100000, test::randomBytes(4096, 1));
    auto properties = propertiesOfBytes(forged);
    ASSERT_TRUE(properties) << properties.error().description();
    EXPECT_EQ(properties->pixelWidth, 100000u);
    EXPECT_EQ(properties->pixelHeight, 100000u);
    test::expectError(decodeBytes(forged), Kind::tooLarge, "100000");
}

TEST(TiffDecoder, DamagedBytesGiveErrorsNeverCrashesOrPrintedMessages)
{
    TemporaryDirectory dir;
    const auto original = test::readFileBytes(test::convertPhoto(
        "chelsea.png", std::string("-resize 48x32! ") + lumaAlpha + " -compress lzw -define tiff:rows-per-strip=4", dir / "small.tif"));
    std::mt19937 random(2024);
    size_t failures = 0;
    testing::internal::CaptureStderr();
    for (int round = 0; round < 300; ++round) {
        auto bytes = original;
        // A few bytes anywhere, biased towards the directory at the end where damage matters most.
        for (int k = 0; k < 1 + round % 4; ++k) {
            const size_t at = round % 2 ? random() % bytes.size() : bytes.size() - 1 - random() % std::min<size_t>(bytes.size(), 256);
            bytes[at] = static_cast<uint8_t>(random());
        }
        if (round % 7 == 0)
            bytes.resize(random() % bytes.size());
        TiffDecoder decoder(std::make_shared<const std::vector<uint8_t>>(bytes));
        (void)decoder.properties();
        auto image = decoder.decode();
        if (!image) {
            ++failures;
            EXPECT_FALSE(image.error().description().empty());
        }
    }
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_EQ(printed, "");
    EXPECT_GT(failures, 30u); // the damage was real
}

} // namespace
} // namespace pelorin
