// BMP decoding: each stored layout ImageMagick writes, compared with its own reading of the file;
// hand-made run-length streams; row order, alpha and profiles; refusals.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

void put(std::vector<uint8_t>& b, size_t at, uint32_t v, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        b[at + i] = static_cast<uint8_t>(v >> 8 * i);
}

uint32_t u32(const std::vector<uint8_t>& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t{b[at + 3]} << 24);
}

// A BMP with the 40-byte info header: `palette` holds blue, green, red, 0 entries.
std::vector<uint8_t> bmpFile(int32_t width, int32_t height, uint16_t bitsPerPixel, uint32_t compression,
                             const std::vector<uint8_t>& palette, const std::vector<uint8_t>& pixels)
{
    std::vector<uint8_t> b(54);
    b[0] = 'B';
    b[1] = 'M';
    const auto offset = static_cast<uint32_t>(54 + palette.size());
    for (auto [at, value] : {std::pair{2u, offset + uint32_t(pixels.size())},
                             {10u, offset},
                             {14u, 40u},
                             {18u, uint32_t(width)},
                             {22u, uint32_t(height)},
                             {30u, compression},
                             {34u, uint32_t(pixels.size())},
                             {46u, uint32_t(palette.size() / 4)}})
        put(b, at, value);
    put(b, 26, 1, 2);
    put(b, 28, bitsPerPixel, 2);
    b.insert(b.end(), palette.begin(), palette.end());
    b.insert(b.end(), pixels.begin(), pixels.end());
    return b;
}

// Bit fields, 8- and 1-bit palettes, run-length 8-bit and the OS/2 header (bmp2), whose colour
// table entries have three bytes. (24-bit rows are read below and through CutoutFidelity.)
TEST(BmpDecoder, EachStoredLayoutMatchesImageMagick)
{
    TemporaryDirectory dir;
    struct Case {
        std::string name, options;
        uint16_t bitsPerPixel;
        uint32_t compression;
        int tolerance;
    };
    for (const Case& c : {Case{"rgb565.bmp", "-define bmp:subtype=RGB565 ", 16, 3, 1},
                          Case{"indexed8.bmp", "-colors 200 -type Palette -compress None bmp3:", 8, 0, 0},
                          Case{"indexed1.bmp", "-monochrome -compress None bmp3:", 1, 0, 0},
                          Case{"rle8.bmp", "-colors 200 -type Palette bmp3:", 8, 1, 0},
                          Case{"os2.bmp", "-colors 200 -type Palette -compress None bmp2:", 8, 0, 0}}) {
        SCOPED_TRACE(c.name);
        make("convert " + q(samplePhoto("coffee.png")) + " " + c.options + q(dir / c.name));
        const auto bytes = readFileBytes(dir / c.name);
        const bool core = u32(bytes, 14) == 12;
        ASSERT_EQ(bytes[core ? 24 : 28], c.bitsPerPixel) << "ImageMagick wrote another layout";
        ASSERT_TRUE(core || u32(bytes, 30) == c.compression) << "ImageMagick wrote another layout";
        const auto image = decodeRgb8Photo(dir / c.name);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
        EXPECT_LE(maxDifference(packedPixels(*image), magickRaw(dir / c.name, "rgb")), c.tolerance);
    }
}

// The V5 header's embedded profile is the colour space.
TEST(BmpDecoder, AlphaOnlyWhenDeclaredAndUsedAndTheEmbeddedProfileIsTheColourSpace)
{
    TemporaryDirectory dir;
    const std::string profile = "/usr/share/color/icc/ghostscript/a98.icc";
    convertPhoto("chelsea.png", "-alpha set -channel A -fx 'i/w' +channel", dir / "alpha.png");
    make("convert " + q(dir / "alpha.png") + " -profile " + profile + " bmp:" + q(dir / "rgba.bmp"));
    auto bytes = readFileBytes(dir / "rgba.bmp");
    ASSERT_EQ(u32(bytes, 14), 124u);
    ASSERT_EQ(u32(bytes, 14 + 52), 0xFF000000u) << "a V5 header with an alpha mask";

    const auto rgba = ok(decodeFile(dir / "rgba.bmp"));
    EXPECT_EQ(rgba.alphaInfo(), static_cast<uint32_t>(AlphaInfo::last));
    EXPECT_EQ(rgba.colorSpace(), ColorSpace::fromICCProfile(readFileBytes(profile)));
    EXPECT_EQ(packedPixels(rgba), magickRaw(dir / "alpha.png", "rgba"));

    // The same mask over alpha left at zero everywhere: an opaque image, not an invisible one.
    for (size_t at = u32(bytes, 10) + 3; at < bytes.size(); at += 4)
        bytes[at] = 0;
    writeFileBytes(dir / "zero-alpha.bmp", bytes);
    const auto opaque = ok(decodeFile(dir / "zero-alpha.bmp"));
    EXPECT_EQ(opaque.alphaInfo(), static_cast<uint32_t>(AlphaInfo::none));
    EXPECT_EQ(packedPixels(opaque), magickRaw(dir / "alpha.png", "rgb"));
}

// Stated resolutions are checked through CutoutFidelity; this file states none.
TEST(BmpDecoder, RunLengthStreamsWithJumpsLiteralsAndShortRows)
{
    // Sixteen colours; index i is (16 i, 255 − 16 i, i).
    std::vector<uint8_t> palette;
    for (int i = 0; i < 16; ++i)
        palette.insert(palette.end(), {uint8_t(i), uint8_t(255 - 16 * i), uint8_t(16 * i), 0});
    // 6 × 3, bottom row first. Row 0: a run 1,2,1 and a literal 3,4,5 (padded to an even length).
    // Then a jump over row 1 to x = 2 of row 2, a run A,B there, and the end of the image.
    const std::vector<uint8_t> stream = {0x03, 0x12, 0x00, 0x03, 0x34, 0x50, 0x00, 0x00,
                                         0x00, 0x02, 0x02, 0x01, 0x02, 0xAB, 0x00, 0x01};
    TemporaryDirectory dir;
    writeFileBytes(dir / "rle4.bmp", bmpFile(6, 3, 4, 2, palette, stream));
    const auto image = ok(decodeFile(dir / "rle4.bmp"));
    std::vector<uint8_t> want;
    for (int index : {0, 0, 10, 11, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 1, 3, 4, 5})
        want.insert(want.end(), {uint8_t(16 * index), uint8_t(255 - 16 * index), uint8_t(index)});
    EXPECT_EQ(packedPixels(image), want);
    EXPECT_FALSE(propertiesOf(dir / "rle4.bmp")->dpiWidth);

    writeFileBytes(dir / "cut.bmp", bmpFile(6, 3, 4, 2, palette, {stream.begin(), stream.begin() + 8}));
    expectError(decodeFile(dir / "cut.bmp"), Kind::corruptData, "truncated");
}

TEST(BmpDecoder, TopDownRowsAndPaddingBeforeThePixelsAreHonoured)
{
    TemporaryDirectory dir;
    convertPhoto("coffee.png", "", "bmp3:" + (dir / "bottom-up.bmp").string());
    const auto original = readFileBytes(dir / "bottom-up.bmp");
    const size_t offset = u32(original, 10), rowBytes = 600 * 3;
    ASSERT_EQ(original.size(), offset + rowBytes * 400);

    // The same rows stated top-down show the picture upside down.
    auto topDown = original;
    put(topDown, 22, static_cast<uint32_t>(-400));
    writeFileBytes(dir / "top-down.bmp", topDown);
    auto gap = original;
    gap.insert(gap.begin() + ptrdiff_t(offset), 10, 0xEE);
    put(gap, 10, uint32_t(offset + 10));
    writeFileBytes(dir / "gap.bmp", gap);

    for (const auto& [name, options] : {std::pair{"top-down.bmp", "-flip"}, {"gap.bmp", ""}}) {
        const auto image = ok(decodeFile(dir / name));
        EXPECT_EQ(packedPixels(image), magickRaw(samplePhoto("coffee.png"), "rgb", 8, options)) << name;
    }
}

// Forged headers and colour tables are the fuzz target's, cut pixel rows DamagedFile's.
TEST(BmpDecoder, RefusesWhatItCannotDecodeWithAClearReason)
{
    TemporaryDirectory dir;
    // Claims 100000 × 100000 with no pixels behind: refused on the numbers alone.
    writeFileBytes(dir / "huge.bmp", bmpFile(100000, 100000, 24, 0, {}, {}));
    EXPECT_EQ(propertiesOf(dir / "huge.bmp")->pixelWidth, 100000u);
    writeFileBytes(dir / "jpeg-inside.bmp", bmpFile(8, 8, 24, 4, {}, std::vector<uint8_t>(64, 0)));

    for (const auto& [name, kind, fragment] :
         {std::tuple{"huge.bmp", Kind::tooLarge, "too large"}, {"jpeg-inside.bmp", Kind::unsupported, "JPEG"}}) {
        SCOPED_TRACE(name);
        expectError(decodeFile(dir / name), kind, fragment);
    }
}

} // namespace
} // namespace pelorin
