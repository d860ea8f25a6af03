// WebP decoding: lossy and lossless pixels, alpha, ICCP and EXIF chunks, animations and
// damaged files. Test files are made with libwebp's own tools (cwebp, webpmux, img2webp).
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

    auto lossy = decodeFile(dir / "lossy.webp");
    ASSERT_TRUE(lossy) << lossy.error().description();
    EXPECT_EQ(lossy->width(), 600u);
    EXPECT_EQ(lossy->height(), 400u);
    EXPECT_EQ(lossy->bitsPerPixel(), 24u);
    EXPECT_EQ(lossy->alphaInfo(), static_cast<uint32_t>(AlphaInfo::none));
    EXPECT_EQ(lossy->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
    EXPECT_LE(maxDifference(packedPixels(*lossy), magickSamples(dir / "lossy.webp", "rgb")), 1);

    auto alpha = decodeFile(dir / "alpha.webp");
    ASSERT_TRUE(alpha) << alpha.error().description();
    EXPECT_EQ(alpha->bitsPerPixel(), 32u);
    EXPECT_EQ(alpha->bytesPerRow(), alpha->width() * 4);
    EXPECT_EQ(alpha->alphaInfo(), static_cast<uint32_t>(AlphaInfo::last));
    EXPECT_EQ(packedPixels(*alpha), magickSamples(dir / "alpha.png", "rgba"));
}

TEST(WebPDecoder, ExifChunkIsReadBesideAProfile)
{
    TemporaryDirectory dir;
    const auto profile = std::string("/usr/share/color/icc/ghostscript/a98.icc");
    make("exiftool -q -n -o " + q(dir / "exif.exif") + " -Orientation=6 '-DateTimeOriginal=2021:03:04 05:06:07' "
         "-XResolution=240 -YResolution=180 -ResolutionUnit=2");
    // Some writers keep JPEG's "Exif\0\0" before the TIFF header, others do not.
    make("printf 'Exif\\0\\0' | cat - " + q(dir / "exif.exif") + " > " + q(dir / "prefixed.bin"));
    make("cwebp -quiet -q 80 " + q(samplePhoto("coffee.png")) + " -o " + q(dir / "plain.webp"));
    make("webpmux -set icc " + profile + " " + q(dir / "plain.webp") + " -o " + q(dir / "icc.webp"));
    make("webpmux -set exif " + q(dir / "exif.exif") + " " + q(dir / "icc.webp") + " -o " + q(dir / "exif.webp"));
    make("webpmux -set exif " + q(dir / "prefixed.bin") + " " + q(dir / "plain.webp") + " -o " + q(dir / "prefixed.webp"));

    for (const auto* name : {"exif.webp", "prefixed.webp"}) {
        auto properties = propertiesOf(dir / name);
        ASSERT_TRUE(properties) << name << ": " << properties.error().description();
        EXPECT_EQ(properties->orientation, 6) << name;
        EXPECT_EQ(properties->dpiWidth, 240.0) << name;
        EXPECT_EQ(properties->dpiHeight, 180.0) << name;
        ASSERT_TRUE(properties->exif) << name;
        EXPECT_TRUE(properties->exif->count("DateTimeOriginal")) << name;
    }

    auto plain = propertiesOf(dir / "plain.webp");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->orientation);
    EXPECT_FALSE(plain->dpiWidth);
    EXPECT_FALSE(plain->exif);
}

TEST(WebPDecoder, AnimationGivesItsFirstFrame)
{
    TemporaryDirectory dir;
    convertPhoto("coffee.png", "-crop 64x48+0+0 +repage", dir / "first.png");
    convertPhoto("coffee.png", "-crop 64x48+200+100 +repage", dir / "second.png");
    make("img2webp -lossless " + q(dir / "first.png") + " -d 100 " + q(dir / "second.png") + " -o " +
         q(dir / "animation.webp"));

    auto image = decodeFile(dir / "animation.webp");
    ASSERT_TRUE(image) << image.error().description();
    EXPECT_EQ(image->width(), 64u);
    EXPECT_EQ(image->height(), 48u);
    EXPECT_EQ(image->bitsPerPixel(), 24u);
    EXPECT_EQ(packedPixels(*image), magickSamples(dir / "first.png", "rgb"));

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

TEST(WebPDecoder, DamagedFilesAreErrors)
{
    TemporaryDirectory dir;
    make("cwebp -quiet -q 85 " + q(samplePhoto("coffee.png")) + " -o " + q(dir / "whole.webp"));
    auto whole = readFileBytes(dir / "whole.webp");
    auto half = whole;
    half.resize(whole.size() / 2);
    writeFileBytes(dir / "half.webp", half);
    auto properties = propertiesOf(dir / "half.webp");
    ASSERT_TRUE(properties) << "the header is intact";
    EXPECT_EQ(properties->pixelWidth, 600u);
    expectError(decodeFile(dir / "half.webp"), Kind::corruptData, "truncated");

    auto garbage = std::vector<uint8_t>(whole.begin(), whole.begin() + 12);
    const auto noise = randomBytes(200, 7);
    garbage.insert(garbage.end(), noise.begin(), noise.end());
    writeFileBytes(dir / "garbage.webp", garbage);
    expectError(decodeFile(dir / "garbage.webp"), Kind::corruptData);
}

} // namespace
} // namespace pelorin
