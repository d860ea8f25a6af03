// The row conversion every encoder relies on: which component lands where. 16-bit byte orders go
// through it end to end in CutoutFidelity (big- and little-endian TIFF sources).
#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/RowNormalizer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace pelorin {
namespace {

using test::makeImage;

std::vector<uint8_t> row8(const RowNormalizer& n, size_t y = 0)
{
    std::vector<uint8_t> out(n.outputRowBytes());
    n.convertRow(y, out);
    return out;
}

TEST(RowNormalizer, PlacesColourAndAlphaForEveryEightBitLayout)
{
    // One pixel whose components are 10, 20, 30, 40 in memory order.
    const std::vector<uint8_t> px = {10, 20, 30, 40};
    struct Case {
        AlphaInfo alpha;
        std::vector<uint8_t> expected;
    };
    // Premultiplied colour is divided by alpha: 10 × 255 / 40 = 63.75. Colour brighter than its
    // alpha cannot be premultiplied: it saturates rather than wraps.
    for (const Case& c : {Case{AlphaInfo::last, {10, 20, 30, 40}}, Case{AlphaInfo::first, {20, 30, 40, 10}},
                          Case{AlphaInfo::noneSkipLast, {10, 20, 30}}, Case{AlphaInfo::noneSkipFirst, {20, 30, 40}},
                          Case{AlphaInfo::premultipliedLast, {64, 128, 191, 40}},
                          Case{AlphaInfo::premultipliedFirst, {255, 255, 255, 10}}}) {
        auto image = makeImage({1, 1, 8, 32, 4, BitmapInfo::make(c.alpha)}, px);
        auto n = RowNormalizer::make(image);
        ASSERT_TRUE(n) << static_cast<int>(c.alpha) << ": " << n.error();
        EXPECT_EQ(row8(*n), c.expected) << "alpha info " << static_cast<int>(c.alpha);
    }
}

TEST(RowNormalizer, GreyWithAndWithoutAlphaAndRowPadding)
{
    // Two rows of two grey+alpha pixels, rows padded to 6 bytes.
    auto image = makeImage({2, 2, 8, 16, 6, BitmapInfo::make(AlphaInfo::last)},
                           {1, 2, 3, 4, 99, 99, 5, 6, 7, 8, 99, 99}, ColorSpace::named(ColorSpace::Name::deviceGray));
    auto n = RowNormalizer::make(image);
    ASSERT_TRUE(n);
    EXPECT_EQ(row8(*n, 1), (std::vector<uint8_t>{5, 6, 7, 8}));
}

TEST(ParallelFor, CoversEveryIndexExactlyOnceAndNestsWithoutDeadlock)
{
    for (size_t count : {0u, 1u, 2u, 7u, 1000u, 4097u}) {
        std::vector<std::atomic<int>> hits(count);
        parallelFor(count, [&](size_t begin, size_t end) {
            parallelFor(end - begin, [&](size_t b, size_t e) {
                for (size_t i = begin + b; i < begin + e; ++i)
                    hits[i].fetch_add(1);
            });
        });
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(hits[i].load(), 1) << "index " << i << " of " << count;
    }
}

} // namespace
} // namespace pelorin
