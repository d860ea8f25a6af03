// WebP decoding: lossy and lossless pixels, alpha, animations and cut files.
// Test files are made with libwebp's own tools (cwebp, webpmux, img2webp).
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

TEST(WebPDecoder, LossyIsRGBAndLosslessAlphaIsExactAndACutKeepsItsProperties)
{
    TemporaryDirectory dir;
    make("cwebp -quiet -q 85 " + q(samplePhoto("coffee.png")) + " -o " + q(dir / "lossy.webp"));
    // A ramp of alpha from 0 to 255 across the photograph; -exact keeps the colour under it.
    convertPhoto("chelsea.png", "-alpha set -channel A -fx 'i/w' +channel", dir / "alpha.png");
    make("cwebp -quiet -lossless -exact " + q(dir / "alpha.png") + " -o " + q(dir / "alpha.webp"));

    const auto lossy = decodeRgb8Photo(dir / "lossy.webp");
    ASSERT_TRUE(lossy);
    EXPECT_EQ(lossy->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
    EXPECT_LE(maxDifference(packedPixels(*lossy), magickRaw(dir / "lossy.webp", "rgb")), 1);

    const auto alpha = ok(decodeFile(dir / "alpha.webp"));
    EXPECT_EQ(alpha.format(), (ImageFormat{451, 300, 8, 32, 451 * 4, BitmapInfo::make(AlphaInfo::last)}));
    EXPECT_EQ(packedPixels(alpha), magickRaw(dir / "alpha.png", "rgba"));

    // Cuts across the file and noise are DamagedFile's and the fuzz target's; a cut whose header
    // is intact still has its properties, as a header read from a file's first bytes needs.
    const auto whole = readFileBytes(dir / "lossy.webp");
    writeFileBytes(dir / "half.webp", {whole.begin(), whole.begin() + ptrdiff_t(whole.size() / 2)});
    EXPECT_EQ(propertiesOf(dir / "half.webp")->pixelWidth, 600u);
    expectError(decodeFile(dir / "half.webp"), Kind::corruptData, "truncated");
}

// EXIF, with or without JPEG's prefix, is the parser's and CutoutFidelity's; an absurd canvas
// the fuzz target's.
TEST(WebPDecoder, AnimationGivesItsFirstFrame)
{
    TemporaryDirectory dir;
    convertPhoto("coffee.png", "-crop 64x48+0+0 +repage", dir / "first.png");
    convertPhoto("coffee.png", "-crop 64x48+200+100 +repage", dir / "second.png");
    make("img2webp -lossless " + q(dir / "first.png") + " -d 100 " + q(dir / "second.png") + " -o "
         + q(dir / "animation.webp"));
    const auto image = ok(decodeFile(dir / "animation.webp"));
    EXPECT_EQ(image.format(), (ImageFormat{64, 48, 8, 24, 64 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_EQ(packedPixels(image), magickRaw(dir / "first.png", "rgb"));
}

} // namespace
} // namespace pelorin
