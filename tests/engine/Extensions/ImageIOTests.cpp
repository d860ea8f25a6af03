// Writing images with and without metadata, and reading it back, checked with exiftool and
// ImageMagick as independent readers. Metadata from real sources through both formats is
// CutoutFidelity's.
#include "engine/Extensions/ImageIO.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Services/ImageProcessor.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using test::exiftoolTag;
using test::makeImage;
using test::TemporaryDirectory;

// 8-bit RGBA, 3 × 2, distinct values everywhere.
Image smallRGBA()
{
    std::vector<uint8_t> bytes(3 * 2 * 4);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 10 + 5);
    return makeImage({3, 2, 8, 32, 12, BitmapInfo::make(AlphaInfo::last)}, bytes);
}

ExifValue asciiValue(uint16_t tag, const std::string& text)
{
    ExifValue value{tag, 2, static_cast<uint32_t>(text.size() + 1), {text.begin(), text.end()}};
    value.bytes.push_back(0);
    return value;
}

ImageMetadata richMetadata()
{
    ExifDictionary exif;
    exif["DateTimeOriginal"] = asciiValue(0x9003, "2024:05:17 10:11:12");
    // ExposureTime 1/250 as a little-endian RATIONAL.
    exif["ExposureTime"] = ExifValue{0x829a, 5, 1, {1, 0, 0, 0, 250, 0, 0, 0}};
    return ImageMetadata{6, exif, 300.0, 150.0};
}

TEST(ImageMetadata, MergeSetsOnlyWhatIsPresentAndSkipsAnEmptyExifDictionary)
{
    ImageProperties properties;
    properties.orientation = 3;
    properties.dpiWidth = 72.0;
    properties.tiff = TIFFProperties{7};
    ImageMetadata{std::nullopt, ExifDictionary{}, 300.0, std::nullopt}.merge(properties);
    EXPECT_EQ(properties.orientation, 3) << "an absent field leaves the entry alone";
    EXPECT_EQ(properties.dpiWidth, 300.0) << "a present field replaces the entry";
    EXPECT_FALSE(properties.dpiHeight);
    EXPECT_FALSE(properties.exif) << "an empty EXIF dictionary adds no entry";
    EXPECT_EQ(properties.tiff->compression, 7);

    richMetadata().merge(properties);
    EXPECT_EQ(properties.orientation, 6);
    EXPECT_EQ(properties.dpiHeight, 150.0);
    ASSERT_TRUE(properties.exif);
    EXPECT_EQ(properties.exif->size(), 2u);
}

TEST(ImageMetadata, ReadGivesAbsentForNonImagesAndEmptyFieldsForBareImages)
{
    TemporaryDirectory dir;
    test::writeFileBytes(dir / "text.png", {'h', 'i'});
    EXPECT_FALSE(ImageMetadata::read(dir / "text.png"));
    EXPECT_FALSE(ImageMetadata::read(dir / "missing.png"));

    ASSERT_TRUE(write(smallRGBA(), dir / "bare.png", OutputFormat::png, std::nullopt));
    const auto bare = ImageMetadata::read(dir / "bare.png");
    ASSERT_TRUE(bare) << "a readable image without metadata still has a metadata value";
    EXPECT_EQ(*bare, ImageMetadata{});
}

TEST(ImageIO, WithoutMetadataPngCarriesNothingAndTiffStillUsesLZW)
{
    TemporaryDirectory dir;
    ASSERT_TRUE(write(smallRGBA(), dir / "plain.png", OutputFormat::png, std::nullopt));
    ASSERT_TRUE(write(smallRGBA(), dir / "plain.tiff", OutputFormat::tiff, std::nullopt));
    for (const char* tag : {"Orientation", "XResolution", "PixelsPerUnitX", "DateTimeOriginal", "ExifByteOrder"})
        EXPECT_EQ(exiftoolTag(dir / "plain.png", tag), "") << tag;
    EXPECT_EQ(exiftoolTag(dir / "plain.tiff", "Compression"), "5");
    EXPECT_EQ(exiftoolTag(dir / "plain.tiff", "Orientation"), "");
    EXPECT_EQ(exiftoolTag(dir / "plain.tiff", "DateTimeOriginal"), "");
}

TEST(ImageIO, OrientationIsWrittenNotAppliedToThePixels)
{
    TemporaryDirectory dir;
    const Image image = smallRGBA();
    ASSERT_TRUE(write(image, dir / "turned.png", OutputFormat::png, ImageMetadata{6, {}, {}, {}}));
    EXPECT_EQ(test::identifyFormat(dir / "turned.png", "%w %h"), "3 2");
    auto source = ImageSource::open(dir / "turned.png");
    ASSERT_TRUE(source);
    auto decoded = (*source)->createImage();
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->width(), 3u);
    ASSERT_EQ(decoded->height(), 2u);
    const auto stored = image.bytes();
    const auto read = decoded->bytes();
    for (size_t y = 0; y < 2; ++y)
        EXPECT_TRUE(std::equal(stored.begin() + y * 12, stored.begin() + y * 12 + 12, read.begin() + y * decoded->bytesPerRow()))
            << "row " << y;
}

TEST(ImageIO, FailuresSayWhichFileAndLeaveNoFile)
{
    TemporaryDirectory dir;
    const Image noColorSpace = makeImage({3, 2, 8, 32, 12, BitmapInfo::make(AlphaInfo::last)}, std::vector<uint8_t>(24), std::nullopt);
    auto refused = write(noColorSpace, dir / "none.png", OutputFormat::png, std::nullopt);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), ImageIOWriteError::missingColorSpace());
    EXPECT_FALSE(std::filesystem::exists(dir / "none.png"));

    auto nowhere = write(smallRGBA(), dir / "missing-folder" / "out.tiff", OutputFormat::tiff, std::nullopt);
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.error().description(), "Could not create an image destination for out.tiff.");

    // A float image passes the colour-space check but no encoder can store it.
    const Image floats = makeImage({2, 2, 32, 128, 32, BitmapInfo::make(AlphaInfo::last, BitmapInfo::floatComponents)},
                                   std::vector<uint8_t>(64));
    for (auto format : OutputFormats::allCases) {
        const auto url = dir / ("float." + std::string(OutputFormats::fileExtension(format)));
        auto failed = write(floats, url, format, std::nullopt);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().description(), "Failed to finalize image data for " + url.filename().string() + ".");
        EXPECT_FALSE(std::filesystem::exists(url)) << "no partial file remains";
    }
}

TEST(ImageIO, AnExistingFileIsReplacedWhole)
{
    TemporaryDirectory dir;
    test::writeFileBytes(dir / "old.png", std::vector<uint8_t>(100000, 0xAB));
    ASSERT_TRUE(ImageProcessor().save(smallRGBA(), dir / "old.png", OutputFormat::png, std::nullopt));
    EXPECT_EQ(test::identifyFormat(dir / "old.png", "%w %h %m"), "3 2 PNG");
    EXPECT_LT(std::filesystem::file_size(dir / "old.png"), 1000u);
}

} // namespace
} // namespace pelorin
