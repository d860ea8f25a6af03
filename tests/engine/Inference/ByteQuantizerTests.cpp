// The passes that make int8 convolution inputs, against plain arithmetic in double: rounding half
// to even and saturation in both byte types, channel slices written without touching their
// neighbours, linear resizing with half-pixel centres at sizes that are and are not multiples of
// the input's, down to a single pixel, and max pooling with padding. Lengths leave remainders after
// every vector width.
#include "engine/Inference/ByteQuantizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace pelorin::inference {
namespace {

constexpr uint8_t untouched = 0xA5;

int expectedByte(double value, double scale, bool toSigned)
{
    const double low = toSigned ? -128 : 0, high = toSigned ? 127 : 255;
    return int(std::nearbyint(std::clamp(value * scale, low, high)));
}

int byteAt(const std::vector<uint8_t>& bytes, size_t i, bool toSigned)
{
    return toSigned ? int(int8_t(bytes[i])) : int(bytes[i]);
}

std::vector<float> seeded(size_t count, uint32_t seed, float low, float high)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> result(count);
    for (float& v : result)
        v = value(random);
    return result;
}

TEST(ByteQuantizer, RoundsHalfToEvenAndSaturates)
{
    // Halves land exactly on .5 at scale 0.5; the ends overflow both byte types.
    std::vector<float> in;
    for (int i = -600; i <= 600; i += 7)
        in.push_back(float(i));
    for (bool toSigned : {false, true}) {
        SCOPED_TRACE(toSigned ? "s8" : "u8");
        std::vector<uint8_t> out(in.size() + 1, untouched);
        quantizeToBytes(in.data(), out.data(), in.size(), 0.5f, toSigned);
        for (size_t i = 0; i < in.size(); ++i)
            ASSERT_EQ(byteAt(out, i, toSigned), expectedByte(in[i], 0.5, toSigned)) << "value " << in[i];
        EXPECT_EQ(out.back(), untouched);
    }
}

TEST(ByteQuantizer, WritesOnlyItsChannelSlice)
{
    const size_t rows = 37, width = 19, stride = 48, first = 5;
    const std::vector<float> in = seeded(rows * width, 7, -3.f, 9.f);
    for (bool toSigned : {false, true}) {
        SCOPED_TRACE(toSigned ? "s8" : "u8");
        std::vector<uint8_t> out(rows * stride, untouched);
        quantizeRowsToBytes(in.data(), rows, width, out.data() + first, stride, 21.f, toSigned);
        for (size_t r = 0; r < rows; ++r)
            for (size_t c = 0; c < stride; ++c) {
                const size_t i = r * stride + c;
                if (c < first || c >= first + width)
                    ASSERT_EQ(out[i], untouched) << "row " << r << ", byte " << c;
                else
                    ASSERT_EQ(byteAt(out, i, toSigned), expectedByte(in[r * width + c - first], 21, toSigned));
            }
    }
}

// Linear interpolation at half-pixel centres, clamped to the edge pixels.
double referenceResized(const std::vector<float>& in, size_t inH, size_t inW, size_t channels, size_t outH, size_t outW,
                        size_t oy, size_t ox, size_t c)
{
    auto source = [](size_t o, size_t inSize, size_t outSize, size_t& i0, size_t& i1, double& t) {
        const double position =
            std::clamp((double(o) + 0.5) * double(inSize) / double(outSize) - 0.5, 0.0, double(inSize - 1));
        i0 = size_t(std::floor(position));
        i1 = std::min(i0 + 1, inSize - 1);
        t = position - double(i0);
    };
    size_t y0, y1, x0, x1;
    double ty, tx;
    source(oy, inH, outH, y0, y1, ty);
    source(ox, inW, outW, x0, x1, tx);
    auto at = [&](size_t y, size_t x) { return double(in[(y * inW + x) * channels + c]); };
    return (at(y0, x0) * (1 - tx) + at(y0, x1) * tx) * (1 - ty) + (at(y1, x0) * (1 - tx) + at(y1, x1) * tx) * ty;
}

TEST(ByteQuantizer, ResizesLinearlyIntoItsSlice)
{
    struct Size {
        size_t inH, inW, outH, outW;
    };
    const size_t channels = 19, stride = 27, first = 3;
    for (const Size s : {Size{4, 6, 8, 12}, Size{3, 5, 7, 11}, Size{1, 1, 4, 3}, Size{5, 4, 5, 4}}) {
        SCOPED_TRACE(::testing::Message() << s.inH << "×" << s.inW << " to " << s.outH << "×" << s.outW);
        const std::vector<float> in = seeded(s.inH * s.inW * channels, 11, -2.f, 6.f);
        for (bool toSigned : {false, true}) {
            SCOPED_TRACE(toSigned ? "s8" : "u8");
            std::vector<uint8_t> out(s.outH * s.outW * stride, untouched);
            resizeLinearToBytes(in.data(), s.inH, s.inW, channels, out.data() + first, s.outH, s.outW, stride, 31.f,
                                toSigned);
            for (size_t p = 0; p < s.outH * s.outW; ++p)
                for (size_t c = 0; c < stride; ++c) {
                    const size_t i = p * stride + c;
                    if (c < first || c >= first + channels) {
                        ASSERT_EQ(out[i], untouched) << "pixel " << p << ", byte " << c;
                        continue;
                    }
                    const double value =
                        referenceResized(in, s.inH, s.inW, channels, s.outH, s.outW, p / s.outW, p % s.outW, c - first);
                    // fp32 arithmetic may round a value within a hair of .5 the other way.
                    ASSERT_NEAR(byteAt(out, i, toSigned), expectedByte(value, 31, toSigned), 1)
                        << "pixel " << p << ", channel " << c - first << ": " << value * 31;
                }
        }
    }
}

TEST(ByteQuantizer, PoolsTheMaximumOfEachWindowInsideTheImage)
{
    // 2×2 windows by 2 with ceil mode's extra column and row; 3×3 windows by 2 with a border of one.
    struct Case {
        PoolingWindow window;
        size_t outH, outW;
    };
    const size_t inH = 7, inW = 9, channels = 21;
    const std::vector<float> in = seeded(inH * inW * channels, 13, -4.f, 4.f);
    for (const Case& t : {Case{{2, 2, 2, 2, 0, 0}, 4, 5}, Case{{3, 3, 2, 2, 1, 1}, 4, 5}}) {
        SCOPED_TRACE(::testing::Message() << t.window.kernelH << "×" << t.window.kernelW << " windows");
        for (bool toSigned : {false, true}) {
            SCOPED_TRACE(toSigned ? "s8" : "u8");
            std::vector<uint8_t> out(t.outH * t.outW * channels + 1, untouched);
            maxPoolToBytes(in.data(), inH, inW, channels, t.window, out.data(), t.outH, t.outW, 40.f, toSigned);
            for (size_t oy = 0; oy < t.outH; ++oy)
                for (size_t ox = 0; ox < t.outW; ++ox)
                    for (size_t c = 0; c < channels; ++c) {
                        double best = -1e30;
                        for (size_t ky = 0; ky < t.window.kernelH; ++ky)
                            for (size_t kx = 0; kx < t.window.kernelW; ++kx) {
                                const int64_t y = int64_t(oy * 2 + ky) - int64_t(t.window.padTop);
                                const int64_t x = int64_t(ox * 2 + kx) - int64_t(t.window.padLeft);
                                if (y >= 0 && x >= 0 && y < int64_t(inH) && x < int64_t(inW))
                                    best = std::max(best, double(in[(size_t(y) * inW + size_t(x)) * channels + c]));
                            }
                        ASSERT_EQ(byteAt(out, (oy * t.outW + ox) * channels + c, toSigned),
                                  expectedByte(best, 40, toSigned))
                            << "at " << oy << ", " << ox << ", channel " << c;
                    }
            EXPECT_EQ(out.back(), untouched);
        }
    }
}

} // namespace
} // namespace pelorin::inference
