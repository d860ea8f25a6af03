// PNG decoding: real photographs and each PNG layout against ImageMagick's decoding, colour
// spaces, resolution units and EXIF (wherever writers put it), and damaged or hostile files.
#include "DecoderTestSupport.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <string_view>
#include <tuple>
#include <utility>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

// Chunk surgery on PNG bytes, to make the files no ordinary writer makes.
uint32_t loadBigEndian32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

std::vector<uint8_t> chunk(std::string_view type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out;
    const auto put = [&](uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(uint8_t(value >> shift));
    };
    put(uint32_t(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    put(uint32_t(crc32(0, out.data() + 4, uInt(data.size() + 4))));
    return out;
}

// `png` without its chunks of type `remove`, and with `extra` before the first chunk of `before`.
std::vector<uint8_t> edited(const std::vector<uint8_t>& png, const std::string& remove,
                            const std::vector<uint8_t>& extra = {}, const std::string& before = "IDAT")
{
    std::vector<uint8_t> out(png.begin(), png.begin() + 8);
    bool inserted = false;
    for (size_t at = 8, size; at + 12 <= png.size(); at += size) {
        size = 12 + size_t{loadBigEndian32(&png[at])};
        const std::string type(png.begin() + at + 4, png.begin() + at + 8);
        if (type == before && !std::exchange(inserted, true))
            out.insert(out.end(), extra.begin(), extra.end());
        if (type != remove)
            out.insert(out.end(), png.begin() + at, png.begin() + at + size);
    }
    return out;
}

// One row per colour type, sub-byte depth, transparency chunk and interlacing; 8-bit layouts
// expand to 8-bit samples, 16-bit ones stay 16-bit, in host order. Plain 8-bit grey and 16-bit
// RGBA are read back exactly in PngEncoder's round trips.
TEST(PngDecoder, EachLayoutDecodesAsImageMagickReadsIt)
{
    TemporaryDirectory dir;
    const std::string photo = q(samplePhoto("astronaut.png")) + " ", grey = photo + "-colorspace Gray ";
    struct Case {
        std::string name, command, layout;
        size_t depth;
    };
    const std::vector<Case> cases = {
        {"rgb.png", photo + "PNG24:", "rgb", 8},
        {"palette.png", photo + "-colors 64 PNG8:", "rgb", 8},
        {"palette-trns.png",
         "-size 64x48 gradient:red-blue \\( -size 64x48 gradient:white-black \\) -alpha off "
         "-compose copy_opacity -composite -colors 16 PNG8:",
         "rgba", 8},
        {"rgb-trns.png", "-size 8x8 xc:red -fill blue -draw 'point 1 1' -transparent blue -define png:color-type=2 ",
         "rgba", 8},
        {"grey2.png", grey + "-depth 2 -define png:color-type=0 -define png:bit-depth=2 ", "gray", 8},
        {"grey-alpha.png",
         q(samplePhoto("chelsea.png"))
             + " -colorspace Gray -alpha set -channel A -fx i/w +channel "
               "-define png:color-type=4 ",
         "graya", 8},
        {"grey16.png", grey + "-depth 16 -interlace PNG -define png:color-type=0 ", "gray", 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make("convert " + c.command + q(dir / c.name));
        const auto image = ok(decodeFile(dir / c.name));
        const bool grey = c.layout.starts_with("gray"), alpha = c.layout.ends_with('a');
        const size_t bitsPerPixel = c.depth * ((grey ? 1 : 3) + alpha);
        EXPECT_EQ(image.format(),
                  (ImageFormat{image.width(), image.height(), c.depth, bitsPerPixel, image.width() * bitsPerPixel / 8,
                               BitmapInfo::make(alpha ? AlphaInfo::last : AlphaInfo::none,
                                                c.depth == 16 ? BitmapInfo::byteOrder16Little : 0)}));
        EXPECT_EQ(image.colorSpace()->model(), grey ? ColorSpace::Model::gray : ColorSpace::Model::rgb);
        EXPECT_TRUE(packedPixels(image) == magickRaw(dir / c.name, c.layout, int(c.depth)));
    }
}

// An iCCP profile is kept byte for byte (checked through CutoutFidelity). Grey is linear only by
// gAMA 1.0 (read back through PngEncoder's linear masks): a gamma of 1/2.2, or an sRGB chunk
// beside gAMA 1.0, leaves it device grey.
TEST(PngDecoder, GreyIsLinearOnlyByGammaOneWithoutSrgb)
{
    TemporaryDirectory dir;
    make("convert " + q(samplePhoto("astronaut.png")) + " -colorspace Gray -depth 8 -define png:color-type=0 "
         + q(dir / "grey.png"));
    const auto grey = readFileBytes(dir / "grey.png");
    auto srgbAndLinear = chunk("sRGB", {0});
    const auto linear = chunk("gAMA", {0, 1, 0x86, 0xA0});
    srgbAndLinear.insert(srgbAndLinear.end(), linear.begin(), linear.end());
    for (const auto& extra : {chunk("gAMA", {0, 0, 0xB1, 0x8F}), srgbAndLinear})
        EXPECT_EQ(ok(decodeFile(shared(edited(grey, "gAMA", extra)))).colorSpace(),
                  ColorSpace::named(ColorSpace::Name::deviceGray));
}

// Stated resolutions in dots per inch, and eXIf before the image data (where exiftool puts it),
// are checked through CutoutFidelity. Here a pHYs without a unit (an aspect ratio only), eXIf
// after the image data (where ImageMagick puts it), and the hex text older writers put before it.
TEST(PngDecoder, PropertiesReadUnitlessResolutionAndExifWhereverWritersPutIt)
{
    TemporaryDirectory dir;
    const auto photo = readFileBytes(samplePhoto("chelsea.png"));
    const auto unitless = ok(propertiesOf(shared(edited(photo, "pHYs", chunk("pHYs", {0, 0, 0, 1, 0, 0, 0, 1, 0})))));
    EXPECT_FALSE(unitless.dpiWidth);

    make("exiftool -q -n -Orientation=3 '-DateTimeOriginal=2021:05:06 07:08:09' -o " + q(dir / "block.exif"));
    const auto tiff = readFileBytes(dir / "block.exif");
    std::vector<uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), tiff.begin(), tiff.end());
    const auto rawProfile = [&](size_t claimed) {
        std::string text = std::string("Raw profile type exif") + '\0' + "\nexif\n";
        text += std::string(8 - std::to_string(claimed).size(), ' ') + std::to_string(claimed);
        for (size_t i = 0; i < block.size(); ++i) {
            text += i % 36 == 0 ? "\n" : "";
            text += "0123456789abcdef"[block[i] >> 4];
            text += "0123456789abcdef"[block[i] & 15];
        }
        text += '\n';
        return edited(photo, "", chunk("tEXt", std::vector<uint8_t>(text.begin(), text.end())));
    };
    for (const auto& [what, png] : {std::pair{"eXIf", edited(photo, "", chunk("eXIf", tiff), "IEND")},
                                    {"raw profile", rawProfile(block.size())}}) {
        SCOPED_TRACE(what);
        const auto properties = ok(propertiesOf(shared(png)));
        EXPECT_EQ(properties.orientation, 3);
        ASSERT_TRUE(properties.exif && properties.exif->count("DateTimeOriginal"));
        const auto& value = properties.exif->at("DateTimeOriginal").bytes;
        EXPECT_EQ(std::string(value.begin(), value.begin() + 19), "2021:05:06 07:08:09");
        EXPECT_FALSE(properties.exif->count("Orientation")); // IFD0 stays out of the dictionary
    }
    // Unreadable EXIF is no EXIF, not a failure: a raw profile claiming more bytes than it
    // holds, and an eXIf chunk of noise.
    for (const auto& png :
         {rawProfile(block.size() * 10), edited(photo, "", chunk("eXIf", randomBytes(64, 5)), "IEND")}) {
        const auto properties = ok(propertiesOf(shared(png)));
        EXPECT_FALSE(properties.orientation);
        EXPECT_FALSE(properties.exif);
    }
}

// Cuts across the file are DamagedFile's; here the end chunk missing, checked CRCs and huge sizes.
TEST(PngDecoder, DamagedOrForgedDataIsAnErrorNeverAPartialImage)
{
    const auto png = readFileBytes(samplePhoto("astronaut.png"));
    const std::string idatType = "IDAT";
    const size_t idat = std::search(png.begin(), png.end(), idatType.begin(), idatType.end()) - png.begin();
    auto flipped = png;
    flipped[idat + 4 + loadBigEndian32(&png[idat - 4]) + 3] ^= 0x10; // the first IDAT's stored CRC
    for (const auto& [what, bytes, fragment] :
         {std::tuple{"no IEND", std::vector<uint8_t>(png.begin(), png.end() - 12), ""},
          {"IDAT with a bad CRC", flipped, "CRC"}}) {
        SCOPED_TRACE(what);
        expectError(decodeFile(shared(bytes)), Kind::corruptData, fragment);
    }
    EXPECT_FALSE(propertiesOf(shared(std::vector<uint8_t>(png.begin(), png.begin() + 20))));

    // A forged header claiming 100000 × 100000 RGBA (40 GB decoded) over one tiny image row is
    // refused before allocating. Here, unlike other formats, checksums keep the fuzz target from
    // forging the header.
    std::vector<uint8_t> forged = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    for (const auto& part : {chunk("IHDR", {0, 1, 0x86, 0xA0, 0, 1, 0x86, 0xA0, 8, 6, 0, 0, 0}),
                             chunk("IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01}), chunk("IEND", {})})
        forged.insert(forged.end(), part.begin(), part.end());
    EXPECT_EQ(propertiesOf(shared(forged))->pixelWidth, 100000u);
    expectError(decodeFile(shared(forged)), Kind::tooLarge);
}

} // namespace
} // namespace pelorin
