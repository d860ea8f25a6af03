// The background remover: every way a mask buffer becomes an 8-bit image or is refused (rounding,
// strides, format codes, dimensions, missing storage, the buffer's lock), its error texts, and the
// whole request on the real model (a subject, no subject, an image the segmenter cannot read).
#include "engine/Services/BackgroundRemover.h"

#include "engine/Imaging/ImageSource.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelorin {
namespace {

using Error = BackgroundRemoverError;

} // namespace

// Failures show the error's sentence.
void PrintTo(const BackgroundRemoverError& error, std::ostream* out)
{
    *out << '"' << error.description() << '"';
}

namespace {

MaskPixelBuffer makeBuffer(uint32_t format, size_t width, size_t height, size_t bytesPerRow,
                           const std::vector<uint8_t>& bytes)
{
    PixelBlock block;
    if (!bytes.empty()) {
        block = PixelBlock::allocate(bytes.size());
        std::memcpy(block.data(), bytes.data(), bytes.size());
    }
    auto buffer = MaskPixelBuffer::make(format, width, height, bytesPerRow, std::move(block));
    EXPECT_TRUE(buffer) << buffer.error();
    return std::move(buffer).value();
}

// A float mask buffer with `rowPad` spare bytes (filled with 0xAB) after every row.
MaskPixelBuffer floatBuffer(const std::vector<float>& values, size_t width, size_t height, size_t rowPad = 0)
{
    const size_t row = width * sizeof(float) + rowPad;
    std::vector<uint8_t> bytes(row * height, 0xAB);
    for (size_t y = 0; y < height; ++y)
        std::memcpy(&bytes[y * row], &values[y * width], width * sizeof(float));
    return makeBuffer(MaskPixelFormat::oneComponent32Float, width, height, row, bytes);
}

std::vector<uint8_t> pixels(const Image& image)
{
    const auto bytes = image.bytes();
    return {bytes.begin(), bytes.end()};
}

std::string conversionError(const MaskPixelBuffer& buffer)
{
    auto image = BackgroundRemover::imageFromMaskPixelBuffer(buffer);
    if (image)
        return "(converted)";
    EXPECT_EQ(image.error().kind(), Error::Kind::cgImageConversionFailed);
    return image.error().description();
}

TEST(BackgroundRemoverConversion, FloatValuesRoundHalfAwayFromZeroAndSaturate)
{
    // A value whose single-precision product with 255 is exactly 2.5: away from zero gives 3,
    // to-even would give 2.
    const float twoAndAHalf = 2.5f / 255.0f;
    ASSERT_EQ(twoAndAHalf * 255.0f, 2.5f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {1.0f, 1.5f, nan, -0.2f, 0.5f, 0.25f, 0.0f, -0.0f,
                                       inf,  -inf, twoAndAHalf, 0.9999f, 1e-3f, 0.998f};
    const std::vector<uint8_t> expected = {255, 255, 255, 0, 128, 64, 0, 0, 255, 0, 3, 255, 0, 254};
    const auto buffer = floatBuffer(values, values.size(), 1);
    auto image = BackgroundRemover::imageFromMaskPixelBuffer(buffer);
    ASSERT_TRUE(image) << image.error().description();
    EXPECT_EQ(pixels(*image), expected);
    EXPECT_EQ(buffer.lockCount(), 0);
    EXPECT_EQ(buffer.timesLocked(), 1);
}

TEST(BackgroundRemoverConversion, MaskImageIsPackedLinearGreyWithoutInterpolation)
{
    std::vector<uint8_t> bytes(7 * 5);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7);
    auto image = BackgroundRemover::imageFromMaskPixelBuffer(
        makeBuffer(MaskPixelFormat::oneComponent8, 7, 5, 7, bytes));
    ASSERT_TRUE(image) << image.error().description();
    EXPECT_EQ(image->format(), (ImageFormat{7, 5, 8, 8, 7, 0}));
    EXPECT_EQ(image->colorSpace(), linearGrayColorSpace());
    EXPECT_FALSE(image->shouldInterpolate());
    EXPECT_EQ(image->renderingIntent(), RenderingIntent::defaultIntent);
    EXPECT_EQ(pixels(*image), bytes);
}

TEST(BackgroundRemoverConversion, RowPaddingIsSkippedForBothFormats)
{
    const size_t width = 13, height = 6;
    std::vector<float> values(width * height);
    std::vector<uint8_t> expected(width * height);
    for (size_t i = 0; i < values.size(); ++i) {
        expected[i] = uint8_t(i * 3);
        values[i] = float(expected[i]) / 255.0f;
    }
    const auto floats = floatBuffer(values, width, height, 12);
    auto image = BackgroundRemover::imageFromMaskPixelBuffer(floats);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->bytesPerRow(), width);
    EXPECT_EQ(pixels(*image), expected);

    // Odd strides put rows at unaligned addresses too.
    for (size_t stride : {width + 1, width + 19}) {
        std::vector<uint8_t> bytes(stride * height, 0xAB);
        for (size_t y = 0; y < height; ++y)
            std::memcpy(&bytes[y * stride], &expected[y * width], width);
        const auto buffer = makeBuffer(MaskPixelFormat::oneComponent8, width, height, stride, bytes);
        auto bytesImage = BackgroundRemover::imageFromMaskPixelBuffer(buffer);
        ASSERT_TRUE(bytesImage);
        EXPECT_EQ(pixels(*bytesImage), expected) << "stride " << stride;
        EXPECT_EQ(buffer.lockCount(), 0);
    }
    const auto oddFloats = floatBuffer(values, width, height, 3);
    EXPECT_EQ(pixels(BackgroundRemover::imageFromMaskPixelBuffer(oddFloats).value()), expected);
}

TEST(BackgroundRemoverConversion, OtherFormatCodesAreRefusedBeforeLocking)
{
    const struct {
        uint32_t code;
        const char* text;
    } codes[] = {
        {0x42475241, "'BGRA'"}, {0, "0x0"}, {0x4C30307F, "0x4c30307f"}, {0x4C303068, "'L00h'"},
    };
    for (const auto& c : codes) {
        const auto buffer = makeBuffer(c.code, 4, 4, 16, std::vector<uint8_t>(64));
        EXPECT_EQ(conversionError(buffer),
                  std::string("Failed to convert mask pixel buffer to CGImage: unsupported mask pixel format ") + c.text);
        EXPECT_EQ(buffer.timesLocked(), 0) << c.text;
    }
}

TEST(BackgroundRemoverConversion, EmptyDimensionsAndMissingStorageAreRefusedAndUnlocked)
{
    const struct {
        MaskPixelBuffer buffer;
        const char* reason;
    } cases[] = {
        {makeBuffer(MaskPixelFormat::oneComponent8, 640, 0, 640, {}), "invalid mask dimensions 640x0"},
        {makeBuffer(MaskPixelFormat::oneComponent32Float, 0, 480, 0, std::vector<uint8_t>(16)),
         "invalid mask dimensions 0x480"},
        {makeBuffer(MaskPixelFormat::oneComponent32Float, 4, 4, 16, {}), "mask pixel buffer base address was nil"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(conversionError(c.buffer), std::string("Failed to convert mask pixel buffer to CGImage: ") + c.reason);
        EXPECT_EQ(c.buffer.lockCount(), 0) << c.reason;
        EXPECT_EQ(c.buffer.timesLocked(), 1) << c.reason;
    }
}

TEST(MaskPixelBuffer, StorageMustCoverItsRowsAndIsReadableOnlyWhileLocked)
{
    EXPECT_FALSE(MaskPixelBuffer::make(MaskPixelFormat::oneComponent8, 4, 4, 4, PixelBlock::allocate(15)));
    EXPECT_FALSE(MaskPixelBuffer::make(MaskPixelFormat::oneComponent32Float, 4, 4, 15, PixelBlock::allocate(64)));
    EXPECT_FALSE(MaskPixelBuffer::make(MaskPixelFormat::oneComponent8, 4, SIZE_MAX, 4, PixelBlock::allocate(64)));

    auto buffer = MaskPixelBuffer::make(MaskPixelFormat::oneComponent8, 4, 4, 4, PixelBlock::allocate(16));
    ASSERT_TRUE(buffer);
    const MaskPixelBuffer copy = *buffer; // shares the buffer and its lock
    EXPECT_EQ(buffer->baseAddress(), nullptr);
    {
        const MaskPixelBuffer::ReadOnlyLock outer(*buffer);
        const MaskPixelBuffer::ReadOnlyLock inner(copy);
        EXPECT_NE(buffer->baseAddress(), nullptr);
        EXPECT_EQ(buffer->lockCount(), 2);
    }
    EXPECT_EQ(copy.baseAddress(), nullptr);
    EXPECT_FALSE(copy.unlockReadOnly());
    EXPECT_EQ(copy.lockCount(), 0);
}

// ---- the whole request, on the real model ----------------------------------------------------

Image decode(const std::filesystem::path& path)
{
    auto source = ImageSource::open(path);
    EXPECT_TRUE(source) << path;
    return source.value()->createImage().value();
}

TEST(BackgroundRemoverRequest, PhotoGivesAnEightBitMaskOfItsSize)
{
    const auto photo = decode(test::samplePhoto("coffee.png"));
    auto mask = BackgroundRemover().generateMask(photo);
    ASSERT_TRUE(mask) << mask.error().description();
    EXPECT_EQ(mask->format(), (ImageFormat{photo.width(), photo.height(), 8, 8, photo.width(), 0}));
    EXPECT_EQ(mask->colorSpace(), linearGrayColorSpace());
    const auto bytes = pixels(*mask);
    EXPECT_NE(std::find(bytes.begin(), bytes.end(), 255), bytes.end());
    EXPECT_NE(std::find(bytes.begin(), bytes.end(), 0), bytes.end());
}

TEST(BackgroundRemoverRequest, EmptySkyHasNoSubject)
{
    test::TemporaryDirectory dir;
    const auto sky = dir / "sky.png";
    ASSERT_EQ(test::runCommand("convert -size 640x480 gradient:'#7aa7e0'-'#cfe3f7' " + test::shellQuote(sky.string()))
                  .exitCode,
              0);
    auto mask = BackgroundRemover().generateMask(decode(sky));
    ASSERT_FALSE(mask);
    EXPECT_EQ(mask.error(), Error::noSubjectFound());
}

TEST(BackgroundRemoverRequest, UnreadableImageFailsTheRequestWithTheSegmentersMessage)
{
    const auto floats = test::makeImage({2, 2, 32, 96, 24, BitmapInfo::floatComponents}, std::vector<uint8_t>(48));
    auto mask = BackgroundRemover().generateMask(floats);
    ASSERT_FALSE(mask);
    EXPECT_EQ(mask.error().description(), "Vision request failed: Floating-point images cannot be segmented.");
}

} // namespace
} // namespace pelorin
