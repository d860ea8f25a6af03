// Cutouts and mask sidecars: colour bytes carried unchanged for every accepted layout and depth
// (16-bit sources of either byte order keep it: CutoutFidelity's TIFF and PNG sources), the mask
// as alpha, the refusals in their order, and a resampled mask against ImageMagick's Lanczos as an
// independent oracle. Real photographs end to end are CutoutFidelity's.
#include "engine/Extensions/ImageAlpha.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>

namespace pelorin {

void PrintTo(const AlphaCompositionError& error, std::ostream* os)
{
    *os << error.description();
}

namespace {

using test::makeImage;
using test::randomBytes;
using test::runCommand;
using test::shellQuote;

Image grayMask(size_t width, size_t height, std::vector<uint8_t> bytes, size_t bytesPerRow = 0)
{
    return makeImage({width, height, 8, 8, bytesPerRow ? bytesPerRow : width, 0}, std::move(bytes),
                     linearGrayColorSpace());
}

Image solidMask(size_t width, size_t height, uint8_t value)
{
    return grayMask(width, height, std::vector<uint8_t>(width * height, value));
}

std::vector<uint8_t> pixels(const Image& image)
{
    return {image.bytes().begin(), image.bytes().end()};
}

// ---------------------------------------------------------------------------------------------
// Layouts and depths

// Every layout the compositor accepts, at both depths, with odd widths so the last pixel of a row
// (where whole-word moves would run past the row) is covered, and padded source and mask rows.
TEST(ImageAlpha, EveryAcceptedLayoutPutsItsColourComponentsFirstAndTakesTheMaskAsStraightAlpha)
{
    struct Layout {
        AlphaInfo alpha;
        size_t components;
        size_t red; // index of red; green and blue follow
    };
    const Layout layouts[] = {
        {AlphaInfo::none, 3, 0},
        {AlphaInfo::premultipliedLast, 4, 0},
        {AlphaInfo::premultipliedFirst, 4, 1},
        {AlphaInfo::last, 4, 0},
        {AlphaInfo::first, 4, 1},
        {AlphaInfo::noneSkipLast, 4, 0},
        {AlphaInfo::noneSkipFirst, 4, 1},
    };
    uint32_t seed = 10;
    for (const auto& layout : layouts)
        for (size_t c : {1, 2})
            for (size_t w : {1, 2, 9, 37}) {
                const size_t h = 3, p = layout.components * c, rowBytes = w * p + 3, maskRow = w + 4;
                const auto bytes = randomBytes(rowBytes * h, ++seed);
                const auto mask = randomBytes(maskRow * h, ++seed);
                const auto info = BitmapInfo::make(layout.alpha, c == 2 ? BitmapInfo::byteOrder16Little : 0);
                auto cutout = withMaskAsAlpha(makeImage({w, h, 8 * c, 8 * p, rowBytes, info}, bytes),
                                              grayMask(w, h, mask, maskRow));
                const std::string where = "alpha info " + std::to_string(int(layout.alpha)) + ", "
                    + std::to_string(8 * c) + " bits, width " + std::to_string(w);
                ASSERT_TRUE(cutout) << where << ": " << cutout.error().description();
                std::vector<uint8_t> expected, packedMask;
                for (size_t y = 0; y < h; ++y)
                    for (size_t x = 0; x < w; ++x) {
                        const uint8_t* s = &bytes[y * rowBytes + x * p + layout.red * c];
                        expected.insert(expected.end(), s, s + 3 * c);
                        expected.insert(expected.end(), c, mask[y * maskRow + x]);
                        packedMask.push_back(mask[y * maskRow + x]);
                    }
                EXPECT_EQ(pixels(*cutout), expected) << where;
                // The sidecar is the same mask, packed, in linear grey.
                auto sidecar = maskAsLinearGrayImage(grayMask(w, h, mask, maskRow), w, h);
                ASSERT_TRUE(sidecar && sidecar->format() == (ImageFormat{w, h, 8, 8, w, 0}));
                EXPECT_EQ(sidecar->colorSpace(), std::optional(linearGrayColorSpace()));
                EXPECT_EQ(pixels(*sidecar), packedMask);
            }
}

// A source given up to the compositor loses its pages band by band as the cutout fills in; a page
// released before all its rows were read would show as zeros in the cutout. Several bands, rows
// that end mid-page, both depths, with and without padding; a source still shared keeps its bytes.
TEST(ImageAlpha, ReleasingTheSourceGivesTheSameCutoutAndSparesASharedSource)
{
    uint32_t seed = 500;
    for (size_t c : {1, 2})
        for (size_t components : {3, 4}) {
            const size_t w = 1531, h = 1201, p = components * c, rowBytes = w * p + 5; // 5.5–14.7 MB
            auto bytes = randomBytes(rowBytes * h, ++seed);
            std::replace(bytes.begin(), bytes.end(), uint8_t(0), uint8_t(1));
            const auto info = BitmapInfo::make(components == 4 ? AlphaInfo::noneSkipLast : AlphaInfo::none,
                                               c == 2 ? BitmapInfo::byteOrder16Little : 0);
            const ImageFormat format{w, h, 8 * c, 8 * p, rowBytes, info};
            const Image mask = grayMask(w, h, randomBytes(w * h, ++seed));
            const std::string where = std::to_string(8 * c) + " bits, " + std::to_string(components) + " components";

            const Image source = makeImage(format, bytes);
            const auto expected = withMaskAsAlpha(source, mask);
            ASSERT_TRUE(expected) << where;
            Image shared = source;
            const auto fromShared = withMaskAsAlphaReleasingSource(std::move(shared), mask);
            ASSERT_TRUE(fromShared) << where;
            EXPECT_TRUE(pixels(source) == bytes) << where << ": the shared source changed";
            EXPECT_TRUE(pixels(*fromShared) == pixels(*expected)) << where;
            const auto fromSole = withMaskAsAlphaReleasingSource(makeImage(format, bytes), mask);
            ASSERT_TRUE(fromSole) << where;
            EXPECT_EQ(fromSole->format(), expected->format()) << where;
            EXPECT_TRUE(pixels(*fromSole) == pixels(*expected)) << where << ": a band was released before it was read";
        }
}

// The resampled mask against ImageMagick's Lanczos (sinc-windowed sinc, three lobes), an
// independent implementation of the same filter, on a smooth mask so that its 16-bit
// intermediate never has to clip an overshoot.
TEST(ImageAlpha, ResampledMaskAgreesWithImageMagickLanczos)
{
    test::TemporaryDirectory folder;
    struct Case {
        size_t mw, mh, w, h;
    };
    for (const auto& c : {Case{60, 40, 131, 47}, Case{200, 150, 61, 89}}) {
        std::vector<uint8_t> mask(c.mw * c.mh);
        for (size_t y = 0; y < c.mh; ++y)
            for (size_t x = 0; x < c.mw; ++x)
                mask[y * c.mw + x] = uint8_t(std::lround(
                    127.5 + 100 * std::sin(x * 0.11 + y * 0.05) * std::cos(y * 0.13) + 20 * std::sin(x * 0.02)));
        test::writeFileBytes(folder / "mask.gray", mask);
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        const auto magick = runCommand("convert -size " + std::to_string(c.mw) + "x" + std::to_string(c.mh)
                                       + " -depth 8 gray:" + shellQuote((folder / "mask.gray").string())
                                       + " -filter Lanczos -resize " + size + "! -depth 8 gray:-");
        ASSERT_EQ(magick.exitCode, 0);
        ASSERT_EQ(magick.output.size(), c.w * c.h);

        auto sidecar = maskAsLinearGrayImage(grayMask(c.mw, c.mh, mask), c.w, c.h);
        ASSERT_TRUE(sidecar) << sidecar.error().description();
        // ImageMagick drops the taps that fall outside the image where we repeat the edge sample,
        // so the two agree to one level only where the kernel stays inside the mask.
        auto inside = [](size_t i, size_t from, size_t to) {
            const double scale = double(from) / to, reach = 3 * std::max(scale, 1.0), centre = (i + 0.5) * scale;
            return centre - reach >= 0 && centre + reach <= from;
        };
        int worst = 0, worstAtEdge = 0;
        for (size_t i = 0; i < c.w * c.h; ++i) {
            const int difference = std::abs(sidecar->bytes()[i] - uint8_t(magick.output[i]));
            int& bound = inside(i % c.w, c.mw, c.w) && inside(i / c.w, c.mh, c.h) ? worst : worstAtEdge;
            bound = std::max(bound, difference);
        }
        EXPECT_LE(worstAtEdge, 3) << c.mw << "x" << c.mh << " -> " << size;
        EXPECT_LE(worst, 1) << c.mw << "x" << c.mh << " -> " << size;
    }
}

// ---------------------------------------------------------------------------------------------
// Refusals

// A bad mask is a scaling failure, never truncation, and is looked at only after the source.
TEST(ImageAlpha, RefusesInTheCheckedOrder)
{
    using E = AlphaCompositionError;
    const auto sRGB = ColorSpace::named(ColorSpace::Name::sRGB);
    auto image = [&](ImageFormat f, size_t bytes, std::optional<ColorSpace> space) {
        return makeImage(f, std::vector<uint8_t>(bytes, 7), std::move(space));
    };
    const Image good = image({4, 3, 8, 24, 12, 0}, 36, sRGB), shortMask = grayMask(4, 3, std::vector<uint8_t>(11, 1));
    struct Case {
        const char* what;
        Image source;
        E expected;
        std::optional<Image> mask = {}; // else a good one
    };
    const Case cases[] = {
        // Dimensions come before everything, even a float, colourless source.
        {"no columns", image({0, 4, 32, 128, 0, 0x100}, 0, std::nullopt), E::invalidImageDimensions(0, 4)},
        // Float before depth and colour space.
        {"float components", image({2, 2, 8, 32, 8, 0x101}, 16, std::nullopt), E::unsupportedFloatPixelFormat()},
        // Depth before colour space; the whole bitmap info word is reported.
        {"12-bit components", image({2, 2, 12, 36, 9, 0x1000}, 18, std::nullopt),
         E::unsupportedPixelFormat(12, 36, 0x1000)},
        // Colour space before the packing checks.
        {"no colour space", image({2, 2, 8, 8, 2, 0}, 4, std::nullopt), E::missingColorSpace()},
        // Rows shorter than their pixels: reported before the (also bad) layout, whole word again.
        {"short rows", image({3, 2, 8, 32, 11, 0x2007}, 22, sRGB), E::unsupportedPixelFormat(8, 32, 0x2007)},
        // Layout: the alpha-info value alone, and 8 × bytes per component.
        {"alpha only", image({3, 2, 8, 32, 12, 0x2007}, 24, sRGB), E::unsupportedPixelFormat(8, 32, 7)},
        {"four components without alpha", image({3, 2, 8, 32, 12, 0}, 24, sRGB), E::unsupportedPixelFormat(8, 32, 0)},
        {"no pixel data", Image({3, 2, 8, 24, 9, 0}, sRGB, nullptr), E::unreadablePixelData()},
        {"source and mask one byte short", image({4, 3, 8, 24, 12, 0}, 35, sRGB), E::truncatedPixelData(36, 35),
         shortMask},
        {"mask one byte short", good, E::maskScalingFailed(), shortMask},
        {"mask rows narrower than its width", good, E::maskScalingFailed(),
         grayMask(4, 3, std::vector<uint8_t>(12, 1), 3)},
        {"mask without pixel data", good, E::maskScalingFailed(),
         Image({4, 3, 8, 8, 4, 0}, linearGrayColorSpace(), nullptr)},
        {"mask without pixels", good, E::maskScalingFailed(), grayMask(0, 3, {})},
    };
    for (const auto& c : cases) {
        auto result = withMaskAsAlpha(c.source, c.mask.value_or(solidMask(c.source.width(), c.source.height(), 1)));
        ASSERT_FALSE(result) << c.what;
        EXPECT_EQ(result.error(), c.expected) << c.what;
        if (c.expected != E::maskScalingFailed())
            continue;
        // The sidecar reads masks the same way.
        EXPECT_EQ(maskAsLinearGrayImage(*c.mask, 4, 3).error(), c.expected) << c.what;
    }
    EXPECT_EQ(maskAsLinearGrayImage(solidMask(2, 2, 3), 0, 2).error(), E::maskScalingFailed());
}

} // namespace
} // namespace pelorin
