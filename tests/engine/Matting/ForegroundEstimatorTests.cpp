// Foreground colour in soft edges, on a cutout whose answer is known: a red subject over a green
// background seen through a ramp of alpha. The estimate must pull the soft band towards red, and
// touch nothing else: not alpha, not the colour of clear or opaque pixels, at 8 or 16 bits.
#include "engine/Matting/ForegroundEstimator.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace pelorin {
namespace {

constexpr size_t w = 120, h = 40;

// Alpha ramps from 0 to full over columns 40–80; colour is the composite a·red + (1 − a)·green.
std::vector<uint8_t> cutoutBytes(size_t bytes, bool bigEndian)
{
    std::vector<uint8_t> data(w * h * 4 * bytes);
    const unsigned full = bytes == 2 ? 65535 : 255;
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            const double a = std::clamp((double(x) - 40) / 40, 0.0, 1.0);
            const unsigned values[4] = {unsigned(std::lround(full * (0.9 * a + 0.1 * (1 - a)))),
                                        unsigned(std::lround(full * (0.1 * a + 0.8 * (1 - a)))), full / 5,
                                        unsigned(std::lround(full * a))};
            for (size_t c = 0; c < 4; ++c) {
                uint8_t* p = data.data() + ((y * w + x) * 4 + c) * bytes;
                if (bytes == 1)
                    p[0] = uint8_t(values[c]);
                else
                    p[bigEndian ? 0 : 1] = uint8_t(values[c] >> 8), p[bigEndian ? 1 : 0] = uint8_t(values[c]);
            }
        }
    return data;
}

TEST(ForegroundEstimator, SoftBandTurnsToTheSubjectsColourAndNothingElseChanges)
{
    for (auto [bytes, bigEndian] : {std::pair{size_t(1), false}, {2, false}, {2, true}}) {
        SCOPED_TRACE(testing::Message() << 8 * bytes << " bits" << (bigEndian ? " big-endian" : ""));
        const uint32_t info = BitmapInfo::make(AlphaInfo::last,
                                               bytes == 1      ? 0
                                                   : bigEndian ? BitmapInfo::byteOrder16Big
                                                               : BitmapInfo::byteOrder16Little);
        const auto data = cutoutBytes(bytes, bigEndian);
        const Image cutout = test::makeImage({w, h, 8 * bytes, 32 * bytes, w * 4 * bytes, info}, data);
        const auto estimated = ForegroundEstimator().estimate(cutout);
        ASSERT_TRUE(estimated) << estimated.error();
        EXPECT_EQ(estimated->format(), cutout.format());
        const auto out = estimated->bytes();
        const auto value = [&](std::span<const uint8_t> d, size_t x, size_t y, size_t c) {
            const uint8_t* p = d.data() + ((y * w + x) * 4 + c) * bytes;
            return bytes == 1 ? p[0] / 255.0 : (bigEndian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]) / 65535.0;
        };
        for (size_t y = 0; y < h; ++y)
            for (size_t x = 0; x < w; ++x) {
                const double a = value(data, x, y, 3);
                const size_t pixel = (y * w + x) * 4 * bytes;
                if (a == 0 || a == 1) {
                    ASSERT_TRUE(std::equal(out.begin() + pixel, out.begin() + pixel + 4 * bytes, data.begin() + pixel))
                        << x << "," << y;
                    continue;
                }
                ASSERT_EQ(value(out, x, y, 3), a);
                // Half-way through the ramp the photo is half green; the estimate must be near red.
                if (a >= 0.2) {
                    EXPECT_NEAR(value(out, x, y, 0), 0.9, 0.12) << x << "," << y;
                    EXPECT_NEAR(value(out, x, y, 1), 0.1, 0.12) << x << "," << y;
                }
            }
    }
}

TEST(ForegroundEstimator, CutoutsWithoutSoftPixelsComeBackAsTheyAre)
{
    std::vector<uint8_t> data(w * h * 4, 0);
    for (size_t i = 0; i < w * h / 2; ++i)
        data[i * 4 + 3] = 255, data[i * 4] = 17;
    const Image cutout = test::makeImage({w, h, 8, 32, w * 4, BitmapInfo::make(AlphaInfo::last)}, data);
    const auto estimated = ForegroundEstimator().estimate(cutout);
    ASSERT_TRUE(estimated);
    EXPECT_EQ(estimated->bytes().data(), cutout.bytes().data());
}

TEST(ForegroundEstimator, RefusesWhatIsNotStraightRgba)
{
    const std::vector<uint8_t> rgb(w * h * 3, 9);
    EXPECT_FALSE(ForegroundEstimator().estimate(test::makeImage({w, h, 8, 24, w * 3, 0}, rgb)));
    const std::vector<uint8_t> premultiplied(w * h * 4, 9);
    EXPECT_FALSE(ForegroundEstimator().estimate(
        test::makeImage({w, h, 8, 32, w * 4, BitmapInfo::make(AlphaInfo::premultipliedLast)}, premultiplied)));
}

} // namespace
} // namespace pelorin
