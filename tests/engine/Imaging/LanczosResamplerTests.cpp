// The Lanczos-3 resampler against a slow, direct 2-D reference (every output sample summed over
// its whole window, no tables, no separable passes), plus the properties masks depend on: exact
// identity, constants kept, every sample format read right, impossible sizes refused.
#include "engine/Imaging/LanczosResampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace pelorin {
namespace {

// sinc(x) · sinc(x / 3) on |x| < 3, written from the textbook definition.
double referenceKernel(double x)
{
    if (x == 0.0)
        return 1.0;
    if (std::fabs(x) >= 3.0)
        return 0.0;
    auto sinc = [](double t) { return std::sin(std::numbers::pi * t) / (std::numbers::pi * t); };
    return sinc(x) * sinc(x / 3.0);
}

// A plane of samples in 0–1 with its stored form.
struct TestPlane {
    size_t width, height;
    std::vector<double> values; // what each stored sample means
    std::vector<uint8_t> bytes;
    PlaneView view;
};

// Stores `values` (0–1) in `format`, with `extra` padding bytes after every sample and `rowPad`
// after every row, so strides are exercised too.
TestPlane storePlane(size_t width, size_t height, std::vector<double> values, SampleFormat format, size_t extra = 0,
                     size_t rowPad = 0)
{
    TestPlane p{width, height, std::move(values), {}, {}};
    const size_t sample = sampleSize(format), pixel = sample + extra, row = width * pixel + rowPad;
    p.bytes.assign(row * height, 0xEE);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            double& v = p.values[y * width + x];
            uint8_t* s = p.bytes.data() + y * row + x * pixel;
            if (format == SampleFormat::uint8) {
                s[0] = uint8_t(std::lround(v * 255));
                v = s[0] / 255.0;
            } else if (format == SampleFormat::uint16LittleEndian || format == SampleFormat::uint16BigEndian) {
                const auto q = uint16_t(std::lround(v * 65535));
                v = q / 65535.0;
                const bool big = format == SampleFormat::uint16BigEndian;
                s[!big] = uint8_t(q >> 8), s[big] = uint8_t(q);
            } else {
                v = float(v);
                auto bits = std::bit_cast<uint32_t>(float(v));
                if ((format == SampleFormat::float32BigEndian) != (std::endian::native == std::endian::big))
                    bits = __builtin_bswap32(bits);
                std::memcpy(s, &bits, 4);
            }
        }
    p.view = PlaneView{p.bytes, width, height, row, pixel, format};
    return p;
}

std::vector<double> randomValues(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> v(count);
    std::ranges::generate(v, [&] { return unit(generator); });
    return v;
}

// Output sample (x, y) of scaling `p` to tw × th, straight from the definition: the sum over every
// source position whose centre lies within the (stretched) support, edges repeated, normalised.
double referenceSample(const TestPlane& p, size_t tw, size_t th, size_t x, size_t y)
{
    const double sx = double(p.width) / tw, sy = double(p.height) / th;
    const double fx = std::max(sx, 1.0), fy = std::max(sy, 1.0);
    const double cx = (x + 0.5) * sx, cy = (y + 0.5) * sy;
    double sum = 0.0, weight = 0.0;
    for (auto j = int64_t(std::floor(cy - 3 * fy)) - 1; j <= int64_t(std::ceil(cy + 3 * fy)) + 1; ++j) {
        const double wy = referenceKernel((j + 0.5 - cy) / fy);
        if (wy == 0.0)
            continue;
        const auto sj = size_t(std::clamp<int64_t>(j, 0, int64_t(p.height) - 1));
        for (auto i = int64_t(std::floor(cx - 3 * fx)) - 1; i <= int64_t(std::ceil(cx + 3 * fx)) + 1; ++i) {
            const double w = wy * referenceKernel((i + 0.5 - cx) / fx);
            const auto si = size_t(std::clamp<int64_t>(i, 0, int64_t(p.width) - 1));
            sum += w * p.values[sj * p.width + si];
            weight += w;
        }
    }
    return sum / weight;
}

struct SizePair {
    size_t sw, sh, tw, th;
};

// Single pixels, up and down by odd factors, opposite directions per axis, extreme aspect ratios,
// and one tall enough to be split into row bands across threads.
const std::vector<SizePair> sizePairs = {
    {1, 1, 1, 1},   {1, 1, 5, 7},     {7, 5, 1, 1},        {13, 11, 29, 31},  {31, 29, 7, 5},
    {17, 3, 5, 19}, {64, 48, 64, 48}, {97, 89, 211, 53},   {211, 53, 97, 89}, {10, 400, 400, 10},
    {2, 3, 3, 2},   {5, 257, 5, 16},  {128, 96, 517, 389},
};

// Every format and stride against the reference (16-bit to 8-bit at the same size is checked
// through 16-bit masks in ImageAlphaTests); then a constant plane, which must stay exactly
// constant, full scale reaching 255 rather than 254 from weights summing a hair under one.
TEST(LanczosResampler, MatchesTheDirectReferenceAndKeepsConstantsExact)
{
    const SampleFormat formats[] = {SampleFormat::uint8, SampleFormat::uint16LittleEndian,
                                    SampleFormat::uint16BigEndian, SampleFormat::float32LittleEndian,
                                    SampleFormat::float32BigEndian};
    uint32_t seed = 1;
    for (const auto& s : sizePairs) {
        SCOPED_TRACE(testing::Message() << s.sw << "x" << s.sh << " -> " << s.tw << "x" << s.th);
        auto resampler = LanczosResampler::make(s.sw, s.sh, s.tw, s.th);
        ASSERT_TRUE(resampler) << resampler.error();
        std::vector<float> floats(s.tw * s.th);
        std::vector<uint8_t> bytes(s.tw * s.th);
        for (const auto format : formats) {
            SCOPED_TRACE(testing::Message() << "format " << int(format));
            ++seed;
            // Odd strides: a padding byte after each sample for some, padded rows for others.
            const auto p = storePlane(s.sw, s.sh, randomValues(s.sw * s.sh, seed), format, seed % 2, seed % 3 * 5);
            ASSERT_TRUE(resampler->resample(p.view, std::span(floats)));
            ASSERT_TRUE(resampler->resample(p.view, std::span(bytes)));
            // At the same size every sample comes back exactly (a zero beside non-zero neighbours
            // stays zero); floats read from integers only to their nearest float.
            const bool same = s.sw == s.tw && s.sh == s.th;
            const double floatTolerance = !same ? 1e-4 : sampleSize(format) == 4 ? 0 : 1e-7;
            size_t floatMisses = 0, byteMisses = 0;
            for (size_t i = 0; i < s.tw * s.th; ++i) {
                const double expected = same ? p.values[i] : referenceSample(p, s.tw, s.th, i % s.tw, i / s.tw);
                floatMisses += std::fabs(floats[i] - float(expected)) > floatTolerance;
                byteMisses += std::abs(bytes[i] - std::round(std::clamp(expected, 0.0, 1.0) * 255)) > (same ? 0 : 1);
            }
            EXPECT_EQ(floatMisses, 0u);
            EXPECT_EQ(byteMisses, 0u);
        }
        const auto flat = storePlane(s.sw, s.sh, std::vector<double>(s.sw * s.sh, 200 / 255.0), SampleFormat::uint8);
        ASSERT_TRUE(resampler->resample(flat.view, std::span(bytes)));
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 200; }));
        const auto full =
            storePlane(s.sw, s.sh, std::vector<double>(s.sw * s.sh, 1.0), SampleFormat::uint16LittleEndian);
        ASSERT_TRUE(resampler->resample(full.view, std::span(bytes)));
        EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 255; }));
    }
}

TEST(LanczosResampler, NonFiniteFloatsAreReadAsTheirClampedValues)
{
    std::vector<double> values(8 * 8, 0.25);
    auto p = storePlane(8, 8, values, SampleFormat::float32LittleEndian);
    constexpr float inf = std::numeric_limits<float>::infinity();
    for (const auto& [i, stored, read] :
         {std::tuple{9, std::nanf(""), 1.0}, {20, inf, 1.0}, {40, -inf, 0.0}, {50, 7.0f, 1.0}}) {
        std::memcpy(p.bytes.data() + 4 * i, &stored, 4);
        values[i] = read;
    }
    const auto clamped = storePlane(8, 8, values, SampleFormat::float32LittleEndian);
    auto resampler = LanczosResampler::make(8, 8, 13, 19);
    std::vector<float> a(13 * 19), b(13 * 19);
    ASSERT_TRUE(resampler->resample(p.view, std::span(a)) && resampler->resample(clamped.view, std::span(b)));
    EXPECT_EQ(a, b);
}

// Views are the segmenter's to check: it refuses short rows and truncated pixels before any
// resampling (ForegroundSegmenterInput), and the last row without its padding passes there.
TEST(LanczosResampler, RefusesSizesItCannotServe)
{
    // Empty, a side beyond 65535, 400 megapixels; the longest sides allowed.
    for (const auto& [sw, sh, tw, th] :
         {std::array<size_t, 4>{0, 5, 5, 5}, {5, 5, 5, 0}, {5, 5, 70000, 5}, {20000, 20000, 1, 1}})
        EXPECT_FALSE(LanczosResampler::make(sw, sh, tw, th)) << sw << "x" << sh << " -> " << tw << "x" << th;
    EXPECT_TRUE(LanczosResampler::make(65535, 1, 1, 65535));
}

} // namespace
} // namespace pelorin
