// The refiner against cases with a known answer: a blurred mask of an edge the photo shows sharply
// must get sharper, whatever the photo's depth or channels; masks with nothing to refine, pixels
// away from the boundary and degenerate sizes must come through untouched.
#include "engine/Matting/EdgeRefiner.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

namespace pelorin {
namespace {

// A photo dark left of column `edge` and bright from it on: grey, RGB, or RGB at 16 bits (either
// byte order; the low byte differs from the high one, so a swapped read shows).
Image edgePhoto(size_t w, size_t h, size_t edge, size_t channels, size_t bytes, bool bigEndian = false)
{
    std::vector<uint8_t> data(w * h * channels * bytes);
    for (size_t i = 0; i < w * h * channels; ++i) {
        const size_t c = i % channels, level = i / channels % w < edge ? 40 + 10 * c : 200 - 20 * c;
        data[i * bytes + (bytes == 2 && !bigEndian)] = uint8_t(level);
        if (bytes == 2)
            data[i * 2 + bigEndian] = 37;
    }
    const uint32_t order = bytes == 2 ? (bigEndian ? BitmapInfo::byteOrder16Big : BitmapInfo::byteOrder16Little) : 0;
    const ImageFormat format{w, h, 8 * bytes, 8 * bytes * channels, w * channels * bytes, order};
    return test::makeImage(format, data,
                           channels == 1 ? linearGrayColorSpace() : ColorSpace::named(ColorSpace::Name::sRGB));
}

Image maskOf(size_t w, size_t h, const std::function<uint8_t(size_t, size_t)>& value)
{
    std::vector<uint8_t> data(w * h);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x)
            data[y * w + x] = value(x, y);
    return test::makeImage({w, h, 8, 8, w, 0}, data, linearGrayColorSpace());
}

// A ramp `width` pixels wide centred on `edge`: the upscaled mask of a sharp edge.
uint8_t ramp(size_t x, size_t edge, double width)
{
    return uint8_t(std::lround(255 * std::clamp((double(x) - double(edge) + width / 2) / width, 0.0, 1.0)));
}

// Mean distance of a mask row from the ideal step at `edge`, on the 0–1 scale.
double stepError(const Image& mask, size_t edge, size_t y)
{
    double error = 0;
    for (size_t x = 0; x < mask.width(); ++x)
        error += std::abs(mask.bytes()[y * mask.bytesPerRow() + x] / 255.0 - (x >= edge ? 1 : 0));
    return error / mask.width();
}

TEST(EdgeRefiner, BlurredMaskOfASharpEdgeGetsSharperAtEveryDepthAndLayout)
{
    // 3000 wide: the grid's cells are 3 pixels, as on a large photo.
    const size_t w = 3000, h = 24, edge = 1501;
    const Image blurred = maskOf(w, h, [&](size_t x, size_t) { return ramp(x, edge, 24); });
    for (auto [channels, bytes, big] : {std::tuple{3, 1, false}, {1, 1, false}, {3, 2, false}, {3, 2, true}}) {
        SCOPED_TRACE(testing::Message() << channels << " channels, " << 8 * bytes << " bits, big " << big);
        const auto refined = EdgeRefiner().refine(edgePhoto(w, h, edge, channels, bytes, big), blurred);
        ASSERT_TRUE(refined) << refined.error();
        for (size_t y : {size_t(0), h / 2, h - 1}) // the grid's border rows too
            EXPECT_LT(stepError(*refined, edge, y), stepError(blurred, edge, y) / 3) << "row " << y;
    }
}

TEST(EdgeRefiner, MasksWithoutABoundaryComeBackUnchanged)
{
    const Image photo = edgePhoto(64, 48, 20, 3, 1);
    const EdgeRefiner refiner({.radius = 4, .gridSize = 16}); // small images: a still coarser grid
    for (uint8_t level : {0, 255}) {
        const Image flat = maskOf(64, 48, [&](size_t, size_t) { return level; });
        const auto refined = refiner.refine(photo, flat);
        ASSERT_TRUE(refined);
        EXPECT_EQ(refined->bytes().data(), flat.bytes().data()) << int(level);
    }
    // Uniformly half opaque: the whole image is uncertain, but nothing in the photo explains a
    // change, so the local model is flat at the mask's own value.
    const auto half = refiner.refine(photo, maskOf(64, 48, [](size_t, size_t) { return 128; }));
    ASSERT_TRUE(half);
    for (uint8_t v : std::vector<uint8_t>(half->bytes().begin(), half->bytes().end()))
        ASSERT_EQ(v, 128);
    // A photo no larger than the grid: the model's mask is already as fine as the photo.
    const Image soft = maskOf(64, 48, [](size_t x, size_t) { return ramp(x, 20, 10); });
    EXPECT_EQ(EdgeRefiner().refine(photo, soft)->bytes().data(), soft.bytes().data());
}

TEST(EdgeRefiner, OnlyTheBandAroundTheBoundaryChanges)
{
    // A soft corner patch touching the top and left borders; everything far from it must keep
    // its bytes, whatever the photo does there.
    const size_t w = 200, h = 150;
    const Image mask = maskOf(w, h, [](size_t x, size_t y) {
        return x < 10 && y < 10 ? 255 : x < 14 && y < 14 ? 90 : 0;
    });
    // Cells of 4 pixels; the patch's cells 0–3 and `reach` (4) more around them: pixels up to 31.
    const auto refined = EdgeRefiner({.radius = 4, .gridSize = 50}).refine(edgePhoto(w, h, 12, 3, 1), mask);
    ASSERT_TRUE(refined);
    EXPECT_NE(refined->bytes()[12 * w + 12], mask.bytes()[12 * w + 12]);
    for (size_t i = 0; i < w * h; ++i)
        ASSERT_TRUE((i % w < 32 && i / w < 32) || refined->bytes()[i] == mask.bytes()[i]) << i % w << "," << i / w;
}

TEST(EdgeRefiner, OnePixelWideAndOnePixelHighImages)
{
    for (auto [w, h] : {std::pair<size_t, size_t>{1, 40}, {40, 1}, {1, 1}}) {
        const Image mask = maskOf(w, h, [&](size_t x, size_t y) { return ramp(x + y, 20, 10); });
        const auto refined = EdgeRefiner({.radius = 4, .gridSize = 8}).refine(edgePhoto(w, h, 20, 3, 1), mask);
        ASSERT_TRUE(refined) << w << "x" << h;
        EXPECT_EQ(refined->width(), w);
        EXPECT_EQ(refined->height(), h);
    }
}

} // namespace
} // namespace pelorin
