// WebP decoding: lossy and lossless pixels, alpha, the EXIF chunk, animations and damaged files.
// Test files are made with libwebp's own tools (cwebp, webpmux, img2webp).
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

TEST(WebPDecoder, LossyIsRGBAndLosslessAlphaIsExact)
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

    auto alpha = decodeFile(dir / "alpha.webp");
    ASSERT_TRUE(alpha) << alpha.error().description();
    EXPECT_EQ(alpha->format(), (ImageFormat{451, 300, 8, 32, 451 * 4, BitmapInfo::make(AlphaInfo::last)}));
    EXPECT_EQ(packedPixels(*alpha), magickRaw(dir / "alpha.png", "rgba"));
}

// EXIF beside a profile is checked through CutoutFidelity; some writers keep JPEG's "Exif\0\0"
// before the TIFF header.
TEST(WebPDecoder, ExifChunkIsReadWithOrWithoutItsPrefix)
{
    TemporaryDirectory dir;
    make("exiftool -q -n -o " + q(dir / "exif.exif") + " -Orientation=6 '-DateTimeOriginal=2021:03:04 05:06:07' "
         "-XResolution=240 -YResolution=180 -ResolutionUnit=2");
    make("printf 'Exif\\0\\0' | cat - " + q(dir / "exif.exif") + " > " + q(dir / "prefixed.bin"));
    make("cwebp -quiet -q 80 " + q(samplePhoto("coffee.png")) + " -o " + q(dir / "plain.webp"));
    make("webpmux -set exif " + q(dir / "prefixed.bin") + " " + q(dir / "plain.webp") + " -o " + q(dir / "prefixed.webp"));
    auto properties = propertiesOf(dir / "prefixed.webp");
    ASSERT_TRUE(properties) << properties.error().description();
    EXPECT_EQ(properties->orientation, 6);
    EXPECT_EQ(properties->dpiWidth, 240.0);
    EXPECT_EQ(properties->dpiHeight, 180.0);
    ASSERT_TRUE(properties->exif);
    EXPECT_TRUE(properties->exif->count("DateTimeOriginal"));
}

TEST(WebPDecoder, AnimationGivesItsFirstFrameAndAnAbsurdCanvasIsRefused)
{
    TemporaryDirectory dir;
    convertPhoto("coffee.png", "-crop 64x48+0+0 +repage", dir / "first.png");
    convertPhoto("coffee.png", "-crop 64x48+200+100 +repage", dir / "second.png");
    make("img2webp -lossless " + q(dir / "first.png") + " -d 100 " + q(dir / "second.png") + " -o " +
         q(dir / "animation.webp"));
    auto image = decodeFile(dir / "animation.webp");
    ASSERT_TRUE(image) << image.error().description();
    EXPECT_EQ(image->format(), (ImageFormat{64, 48, 8, 24, 64 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_EQ(packedPixels(*image), magickRaw(dir / "first.png", "rgb"));

    // The canvas size decides the allocation, so an absurd one is refused before decoding.
    auto bytes = readFileBytes(dir / "animation.webp");
    ASSERT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "VP8X");
    for (size_t at : {24, 27}) { // canvas width − 1, height − 1: 24-bit little-endian
        bytes[at] = 0x5F;
        bytes[at + 1] = 0xEA;
        bytes[at + 2] = 0x00;
    }
    writeFileBytes(dir / "huge.webp", bytes);
    expectError(decodeFile(dir / "huge.webp"), Kind::tooLarge);
}

// Cuts across the file and noise are DamagedFile's and the fuzz target's; a cut whose header is
// intact still has its properties, as a header read from a file's first bytes needs.
TEST(WebPDecoder, CutFileKeepsItsPropertiesAndFailsToDecode)
{
    TemporaryDirectory dir;
    make("cwebp -quiet -q 85 " + q(samplePhoto("coffee.png")) + " -o " + q(dir / "whole.webp"));
    const auto whole = readFileBytes(dir / "whole.webp");
    writeFileBytes(dir / "half.webp", {whole.begin(), whole.begin() + ptrdiff_t(whole.size() / 2)});
    EXPECT_EQ(propertiesOf(dir / "half.webp")->pixelWidth, 600u);
    expectError(decodeFile(dir / "half.webp"), Kind::corruptData, "truncated");
}

} // namespace
} // namespace pelorin
