// The background remover: every way a mask buffer becomes an 8-bit image or is refused (rounding,
// strides, format codes, dimensions, missing storage), and the whole request on the real model
// (an image the segmenter cannot read).
#include "engine/Services/BackgroundRemover.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelorin {

// Failures show the error's sentence.
void PrintTo(const BackgroundRemoverError& error, std::ostream* out)
{
    *out << '"' << error.description() << '"';
}

namespace {

using Error = BackgroundRemoverError;

MaskPixelBuffer makeBuffer(uint32_t format, size_t width, size_t height, size_t bytesPerRow,
                           const std::vector<uint8_t>& bytes)
{
    PixelBlock block = bytes.empty() ? PixelBlock() : PixelBlock::allocate(bytes.size());
    std::ranges::copy(bytes, block.data());
    auto buffer = MaskPixelBuffer::make(format, width, height, bytesPerRow, std::move(block));
    EXPECT_TRUE(buffer) << buffer.error();
    return std::move(buffer).value();
}

// A mask buffer of `values` (bytes or floats) with `rowPad` spare bytes (filled with 0xAB) after every row.
template <typename Value>
MaskPixelBuffer paddedBuffer(const std::vector<Value>& values, size_t width, size_t height, size_t rowPad = 0)
{
    const size_t row = width * sizeof(Value) + rowPad;
    std::vector<uint8_t> bytes(row * height, 0xAB);
    for (size_t y = 0; y < height; ++y)
        std::memcpy(&bytes[y * row], &values[y * width], width * sizeof(Value));
    return makeBuffer(sizeof(Value) == 1 ? MaskPixelFormat::oneComponent8 : MaskPixelFormat::oneComponent32Float, width,
                      height, row, bytes);
}

std::vector<uint8_t> pixels(const Image& image)
{
    const auto bytes = image.bytes();
    return {bytes.begin(), bytes.end()};
}

TEST(BackgroundRemoverConversion, FloatValuesRoundHalfAwayFromZeroAndSaturate)
{
    // A value whose single-precision product with 255 is exactly 2.5: away from zero gives 3,
    // to-even would give 2.
    const float twoAndAHalf = 2.5f / 255.0f;
    ASSERT_EQ(twoAndAHalf * 255.0f, 2.5f);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values = {1.0f,  1.5f, nan,  -0.2f,       0.5f,    0.25f, 0.0f,
                                       -0.0f, inf,  -inf, twoAndAHalf, 0.9999f, 1e-3f, 0.998f};
    const std::vector<uint8_t> expected = {255, 255, 255, 0, 128, 64, 0, 0, 255, 0, 3, 255, 0, 254};
    const auto buffer = paddedBuffer(values, values.size(), 1);
    auto image = BackgroundRemover::imageFromMaskPixelBuffer(buffer);
    ASSERT_TRUE(image) << image.error().description();
    EXPECT_EQ(pixels(*image), expected);
}

TEST(BackgroundRemoverConversion, RowPaddingIsSkippedForBothFormatsIntoPackedLinearGrey)
{
    const size_t width = 13, height = 6;
    std::vector<float> values(width * height);
    std::vector<uint8_t> expected(width * height);
    for (size_t i = 0; i < values.size(); ++i) {
        expected[i] = uint8_t(i * 3);
        values[i] = float(expected[i]) / 255.0f;
    }
    // Odd padding puts rows at unaligned addresses too.
    for (size_t pad : {0, 1, 3, 19}) {
        SCOPED_TRACE("row padding " + std::to_string(pad));
        const auto floats = paddedBuffer(values, width, height, pad),
                   bytes = paddedBuffer(expected, width, height, pad);
        for (const auto* buffer : {&floats, &bytes}) {
            auto image = BackgroundRemover::imageFromMaskPixelBuffer(*buffer);
            ASSERT_TRUE(image);
            EXPECT_EQ(image->format(), (ImageFormat{width, height, 8, 8, width, 0}));
            EXPECT_EQ(image->colorSpace(), linearGrayColorSpace());
            EXPECT_FALSE(image->shouldInterpolate());
            EXPECT_EQ(pixels(*image), expected);
        }
    }
}

// A buffer given up is released a few rows behind the conversion; a page released before its
// rows were read would turn them to 0. Full-size-like buffers of both formats, several bands,
// rows padded to an odd length so they end mid-page.
TEST(BackgroundRemoverConversion, ReleasingTheBufferAsItIsReadGivesTheSameImage)
{
    const size_t width = 2999, height = 1300;
    std::vector<float> values(width * height);
    std::vector<uint8_t> bytes(width * height);
    for (size_t i = 0; i < values.size(); ++i) {
        bytes[i] = uint8_t(1 + (i * 7919) % 255);
        values[i] = float(bytes[i]) / 255.0f;
    }
    for (const bool floats : {true, false}) {
        SCOPED_TRACE(floats ? "L00f" : "L008");
        const auto buffer = floats ? paddedBuffer(values, width, height, 37) : paddedBuffer(bytes, width, height, 37);
        auto kept = BackgroundRemover::imageFromMaskPixelBuffer(buffer);
        ASSERT_TRUE(kept);
        EXPECT_TRUE(pixels(*kept) == bytes);
        auto released = BackgroundRemover::imageFromMaskPixelBufferReleasing(
            floats ? paddedBuffer(values, width, height, 37) : paddedBuffer(bytes, width, height, 37));
        ASSERT_TRUE(released);
        EXPECT_EQ(released->format(), kept->format());
        EXPECT_TRUE(pixels(*released) == bytes) << "rows were released before they were read";
    }
}

TEST(BackgroundRemoverConversion, UnknownFormatsEmptyDimensionsAndMissingStorageAreRefused)
{
    const struct {
        MaskPixelBuffer buffer;
        const char* reason;
    } cases[] = {
        {makeBuffer(0x42475241, 4, 4, 16, std::vector<uint8_t>(64)), "unsupported mask pixel format 'BGRA'"},
        {makeBuffer(MaskPixelFormat::oneComponent8, 640, 0, 640, {}), "invalid mask dimensions 640x0"},
        {makeBuffer(MaskPixelFormat::oneComponent32Float, 4, 4, 16, {}), "mask pixel buffer base address was nil"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto image = BackgroundRemover::imageFromMaskPixelBuffer(c.buffer);
        ASSERT_FALSE(image);
        EXPECT_EQ(image.error(), Error::cgImageConversionFailed(c.reason));
    }
}

// A photograph's mask and an empty sky go through the batch's real pipeline.
TEST(BackgroundRemoverRequest, UnreadableImageFailsTheRequestWithTheSegmentersMessage)
{
    const auto floats = test::makeImage({2, 2, 32, 96, 24, BitmapInfo::floatComponents}, std::vector<uint8_t>(48));
    auto mask = BackgroundRemover().generateMask(floats);
    ASSERT_FALSE(mask);
    EXPECT_EQ(mask.error().description(), "Vision request failed: Floating-point images cannot be segmented.");
}

} // namespace
} // namespace pelorin
