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
    const double full = bytes == 2 ? 65535 : 255;
    for (size_t i = 0; i < w * h * 4; ++i) {
        const double a = std::clamp((double(i / 4 % w) - 40) / 40, 0.0, 1.0);
        const double values[4] = {0.9 * a + 0.1 * (1 - a), 0.1 * a + 0.8 * (1 - a), 0.2, a};
        const auto v = unsigned(std::lround(full * values[i % 4]));
        data[i * bytes + (bytes == 2 && !bigEndian)] = uint8_t(bytes == 2 ? v >> 8 : v);
        if (bytes == 2)
            data[i * 2 + bigEndian] = uint8_t(v);
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
        const auto value = [&](std::span<const uint8_t> d, size_t pixel, size_t c) {
            const uint8_t* p = d.data() + (pixel * 4 + c) * bytes;
            return bytes == 1 ? p[0] / 255.0 : (bigEndian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]) / 65535.0;
        };
        for (size_t i = 0; i < w * h; ++i) {
            const double a = value(data, i, 3);
            const auto pixel = data.begin() + i * 4 * bytes;
            ASSERT_TRUE((a > 0 && a < 1) || std::equal(pixel, pixel + 4 * bytes, out.begin() + i * 4 * bytes)) << i;
            ASSERT_EQ(value(out, i, 3), a);
            // Past a fifth of the ramp the photo is still mostly green; the estimate must be red.
            EXPECT_TRUE(a < 0.2 || (std::abs(value(out, i, 0) - 0.9) < 0.12 && std::abs(value(out, i, 1) - 0.1) < 0.12))
                << i % w << "," << i / w << ": " << value(out, i, 0) << " " << value(out, i, 1);
        }
    }
}

TEST(ForegroundEstimator, RefusesWhatIsNotStraightRgba)
{
    const std::vector<uint8_t> rgb(w * h * 3, 9);
    EXPECT_FALSE(ForegroundEstimator().estimate(test::makeImage({w, h, 8, 24, w * 3, 0}, rgb)));
}

} // namespace
} // namespace pelorin
