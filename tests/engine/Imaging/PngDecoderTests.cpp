// PNG decoding: real photographs and every PNG layout against ImageMagick's decoding, colour
// spaces, resolution and EXIF (wherever writers put it), and damaged or hostile files.
#include "DecoderTestSupport.h"

#include "engine/Imaging/Codecs/Png/PngDecoder.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <cmath>
#include <string_view>

namespace pelorin {
namespace {

using namespace test;
using Kind = ImageSourceError::Kind;

// --- Chunk surgery on PNG bytes, to make the files no ordinary writer makes. ---

uint32_t loadBigEndian32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void appendBigEndian32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> chunk(std::string_view type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out;
    appendBigEndian32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    const uLong crc = crc32(0, out.data() + 4, static_cast<uInt>(data.size() + 4));
    appendBigEndian32(out, static_cast<uint32_t>(crc));
    return out;
}

struct ChunkSpan {
    std::string type;
    size_t offset; // of the length field
    size_t size;   // the whole chunk, 12 + data
};

std::vector<ChunkSpan> chunksOf(const std::vector<uint8_t>& png)
{
    std::vector<ChunkSpan> chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        const size_t size = 12 + size_t{loadBigEndian32(&png[at])};
        chunks.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8), at, size});
        at += size;
    }
    return chunks;
}

// `png` without its chunks of `type`, and with `extra` inserted before the first chunk of `before`.
std::vector<uint8_t> edited(const std::vector<uint8_t>& png, const std::string& remove,
                            const std::vector<uint8_t>& extra = {}, const std::string& before = "IDAT")
{
    std::vector<uint8_t> out(png.begin(), png.begin() + 8);
    bool inserted = false;
    for (const auto& c : chunksOf(png)) {
        if (c.type == before && !inserted) {
            out.insert(out.end(), extra.begin(), extra.end());
            inserted = true;
        }
        if (c.type != remove)
            out.insert(out.end(), png.begin() + c.offset, png.begin() + c.offset + c.size);
    }
    return out;
}

std::vector<uint8_t> chunkData(const std::vector<uint8_t>& png, const std::string& type)
{
    for (const auto& c : chunksOf(png))
        if (c.type == type)
            return {png.begin() + c.offset + 8, png.begin() + c.offset + c.size - 4};
    return {};
}

Result<Image, ImageSourceError> decodeBytes(std::vector<uint8_t> bytes)
{
    return PngDecoder(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))).decode();
}

Result<ImageProperties, ImageSourceError> propertiesOfBytes(std::vector<uint8_t> bytes)
{
    return PngDecoder(std::make_shared<const std::vector<uint8_t>>(std::move(bytes))).properties();
}

std::string convertCommand(const std::filesystem::path& from, const std::string& options, const std::filesystem::path& to)
{
    return "convert " + q(from) + " " + options + " " + q(to);
}

TEST(PngDecoder, RealPhotographsMatchImageMagickExactly)
{
    for (const auto& name : {"astronaut.png", "chelsea.png"}) {
        SCOPED_TRACE(name);
        const auto path = samplePhoto(name);
        const auto image = decodeRgb8Photo(path);
        ASSERT_TRUE(image);
        const auto icc = runCommand("exiftool -b -icc_profile " + shellQuote(path.string())).output;
        if (icc.empty())
            EXPECT_EQ(image->colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
        else
            EXPECT_EQ(iccOf(*image), std::vector<uint8_t>(icc.begin(), icc.end()));
        EXPECT_EQ(maxDifference(packedPixels(*image), magickSamples(path, "rgb")), 0);
    }
}

// Eight-bit layouts expand to 8-bit samples; 16-bit ones stay 16-bit, in host order.
TEST(PngDecoder, EveryLayoutDecodesAsImageMagickReadsIt)
{
    TemporaryDirectory dir;
    const auto photo = samplePhoto("astronaut.png");
    const auto cat = samplePhoto("chelsea.png");
    struct Case {
        std::string name, command, layout;
        size_t depth, bitsPerPixel;
        AlphaInfo alpha;
    };
    const std::vector<Case> cases = {
        {"palette.png", convertCommand(photo, "-colors 64", "PNG8:" + (dir / "palette.png").string()), "rgb", 8, 24,
         AlphaInfo::none},
        {"palette-trns.png",
         "convert -size 64x48 gradient:red-blue \\( -size 64x48 gradient:white-black \\) -alpha off "
         "-compose copy_opacity -composite -colors 16 PNG8:" + shellQuote((dir / "palette-trns.png").string()),
         "rgba", 8, 32, AlphaInfo::last},
        {"rgb-trns.png",
         "convert -size 8x8 xc:red -fill blue -draw 'point 1 1' -transparent blue -define png:color-type=2 " +
             shellQuote((dir / "rgb-trns.png").string()),
         "rgba", 8, 32, AlphaInfo::last},
        {"grey.png", convertCommand(photo, "-colorspace Gray -depth 8 -define png:color-type=0", dir / "grey.png"),
         "gray", 8, 8, AlphaInfo::none},
        {"grey2.png",
         convertCommand(photo, "-colorspace Gray -depth 2 -define png:color-type=0 -define png:bit-depth=2",
                        dir / "grey2.png"),
         "gray", 8, 8, AlphaInfo::none},
        {"grey-alpha.png",
         convertCommand(cat, "-colorspace Gray -alpha set -channel A -fx i/w +channel -define png:color-type=4",
                        dir / "grey-alpha.png"),
         "graya", 8, 16, AlphaInfo::last},
        {"interlaced.png", convertCommand(photo, "-interlace PNG", dir / "interlaced.png"), "rgb", 8, 24, AlphaInfo::none},
        {"rgb16.png", convertCommand(photo, "-depth 16", "PNG48:" + (dir / "rgb16.png").string()), "rgb", 16, 48,
         AlphaInfo::none},
        {"rgba16.png",
         convertCommand(photo, "-alpha set -channel A -fx j/h +channel -depth 16", "PNG64:" + (dir / "rgba16.png").string()),
         "rgba", 16, 64, AlphaInfo::last},
        {"grey16.png",
         convertCommand(photo, "-colorspace Gray -depth 16 -interlace PNG -define png:color-type=0", dir / "grey16.png"),
         "gray", 16, 16, AlphaInfo::none},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        make(c.command);
        auto image = decodeFile(dir / c.name);
        ASSERT_TRUE(image) << image.error().description();
        EXPECT_EQ(image->bitsPerComponent(), c.depth);
        EXPECT_EQ(image->bitsPerPixel(), c.bitsPerPixel);
        EXPECT_EQ(image->bytesPerRow(), image->width() * c.bitsPerPixel / 8);
        EXPECT_EQ(image->bitmapInfo(), BitmapInfo::make(c.alpha, c.depth == 16 ? BitmapInfo::byteOrder16Little : 0));
        const bool grey = c.layout.starts_with("gray");
        EXPECT_EQ(image->colorSpace()->model(), grey ? ColorSpace::Model::gray : ColorSpace::Model::rgb);
        EXPECT_TRUE(packedPixels(*image) == magickRaw(dir / c.name, c.layout, int(c.depth)));
    }
}

TEST(PngDecoder, ColourSpaceComesFromIccpThenSrgbThenLinearGamma)
{
    TemporaryDirectory dir;
    // An iCCP profile is kept byte for byte (checked through CutoutFidelity).
    const auto photo = samplePhoto("astronaut.png");
    make(convertCommand(photo, "-colorspace Gray -depth 8 -define png:color-type=0", dir / "grey.png"));
    const auto grey = readFileBytes(dir / "grey.png");
    const auto rgb = edited(readFileBytes(photo), "iCCP");
    const auto srgbChunk = chunk("sRGB", {0});
    const auto linearGamma = chunk("gAMA", {0, 1, 0x86, 0xA0}); // 100000
    const auto otherGamma = chunk("gAMA", {0, 0, 0xB1, 0x8F});  // 45455
    struct Case {
        std::string what;
        std::vector<uint8_t> png;
        ColorSpace expected;
    };
    const std::vector<Case> cases = {
        {"rgb with sRGB", edited(rgb, "gAMA", srgbChunk), ColorSpace::named(ColorSpace::Name::sRGB)},
        {"rgb without colour chunks", edited(edited(rgb, "gAMA"), "cHRM"), ColorSpace::named(ColorSpace::Name::sRGB)},
        {"grey with gAMA 1.0", edited(grey, "gAMA", linearGamma), linearGrayColorSpace()},
        {"grey with gAMA 1/2.2", edited(grey, "gAMA", otherGamma), ColorSpace::named(ColorSpace::Name::deviceGray)},
        {"grey with sRGB", edited(grey, "gAMA", srgbChunk), ColorSpace::named(ColorSpace::Name::deviceGray)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto image = decodeBytes(c.png);
        ASSERT_TRUE(image) << image.error().description();
        EXPECT_EQ(image->colorSpace(), c.expected);
    }
}

TEST(PngDecoder, PropertiesReadResolutionAndExifWhereverWritersPutIt)
{
    TemporaryDirectory dir;
    const auto photo = samplePhoto("chelsea.png");
    auto dpi = propertiesOf(convertPhoto("chelsea.png", "-density 300 -units PixelsPerInch", dir / "300dpi.png"));
    ASSERT_TRUE(dpi) << dpi.error().description();
    ASSERT_TRUE(dpi->dpiWidth && dpi->dpiHeight);
    EXPECT_NEAR(*dpi->dpiWidth, 300.0, 0.01);
    EXPECT_NEAR(*dpi->dpiHeight, 300.0, 0.01);
    EXPECT_FALSE(dpi->orientation);
    EXPECT_FALSE(dpi->exif);
    auto unitless = propertiesOfBytes(edited(readFileBytes(dir / "300dpi.png"), "pHYs", chunk("pHYs", {0, 0, 0, 1, 0, 0, 0, 1, 0})));
    ASSERT_TRUE(unitless);
    EXPECT_FALSE(unitless->dpiWidth); // an aspect ratio only

    // exiftool writes eXIf before the image data; ImageMagick after it.
    make("exiftool -q -Orientation#=6 '-DateTimeOriginal=2020:01:02 03:04:05' -o " + q(dir / "before.png") + " " + q(photo));
    make("exiftool -q -Orientation#=3 '-DateTimeOriginal=2021:05:06 07:08:09' -o " + q(dir / "r.jpg") + " " +
         q(samplePhoto("rocket.jpg")));
    make(convertCommand(dir / "r.jpg", "", dir / "after.png"));
    const auto after = readFileBytes(dir / "after.png");
    const auto afterChunks = chunksOf(after);
    const auto position = [&](const std::string& type) {
        return std::find_if(afterChunks.begin(), afterChunks.end(), [&](const auto& c) { return c.type == type; }) -
               afterChunks.begin();
    };
    ASSERT_GT(position("eXIf"), position("IDAT"));
    ASSERT_LT(position("eXIf"), static_cast<ptrdiff_t>(afterChunks.size()));

    // The form older writers used: the block as hex text, with the "Exif\0\0" prefix.
    std::vector<uint8_t> block = {'E', 'x', 'i', 'f', 0, 0};
    const auto exifData = chunkData(after, "eXIf");
    block.insert(block.end(), exifData.begin(), exifData.end());
    std::string text = "Raw profile type exif";
    text += '\0';
    text += "\nexif\n" + std::string(8 - std::to_string(block.size()).size(), ' ') + std::to_string(block.size());
    for (size_t i = 0; i < block.size(); ++i) {
        static const char* hex = "0123456789abcdef";
        text += i % 36 == 0 ? "\n" : "";
        text += hex[block[i] >> 4];
        text += hex[block[i] & 15];
    }
    text += '\n';
    const auto rawProfile = edited(after, "eXIf", chunk("tEXt", std::vector<uint8_t>(text.begin(), text.end())));

    struct Case {
        std::string what;
        std::vector<uint8_t> png;
        int orientation;
        std::string dateTimeOriginal;
    };
    for (const Case& c : {Case{"eXIf before IDAT", readFileBytes(dir / "before.png"), 6, "2020:01:02 03:04:05"},
                          Case{"eXIf after IDAT", after, 3, "2021:05:06 07:08:09"},
                          Case{"raw profile text", rawProfile, 3, "2021:05:06 07:08:09"}}) {
        SCOPED_TRACE(c.what);
        auto properties = propertiesOfBytes(c.png);
        ASSERT_TRUE(properties) << properties.error().description();
        EXPECT_EQ(properties->orientation, c.orientation);
        ASSERT_TRUE(properties->exif);
        ASSERT_TRUE(properties->exif->count("DateTimeOriginal"));
        const auto& value = properties->exif->at("DateTimeOriginal").bytes;
        EXPECT_EQ(std::string(value.begin(), value.begin() + 19), c.dateTimeOriginal);
        EXPECT_FALSE(properties->exif->count("Orientation")); // IFD0 stays out of the dictionary
    }

    // Unreadable EXIF is no EXIF, not a failure: a raw profile claiming more bytes than it
    // holds, and an eXIf chunk of noise.
    auto overclaimed = text;
    overclaimed.replace(overclaimed.find(std::to_string(block.size())), std::to_string(block.size()).size(),
                        std::to_string(block.size() * 10));
    for (const auto& png : {edited(after, "eXIf", chunk("tEXt", std::vector<uint8_t>(overclaimed.begin(), overclaimed.end()))),
                            edited(after, "eXIf", chunk("eXIf", randomBytes(64, 5)))}) {
        auto properties = propertiesOfBytes(png);
        ASSERT_TRUE(properties) << properties.error().description();
        EXPECT_FALSE(properties->orientation);
        EXPECT_FALSE(properties->exif);
    }
}

TEST(PngDecoder, DamagedDataIsAnErrorNeverAPartialImage)
{
    const auto png = readFileBytes(samplePhoto("astronaut.png"));
    const auto chunks = chunksOf(png);
    std::vector<ChunkSpan> idats;
    for (const auto& c : chunks)
        if (c.type == "IDAT")
            idats.push_back(c);
    ASSERT_FALSE(idats.empty());

    std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
    for (size_t cut : {size_t{20}, idats.front().offset + 100, png.size() / 2, png.size() - 12, png.size() - 1})
        damaged.emplace_back("truncated to " + std::to_string(cut) + " bytes",
                             std::vector<uint8_t>(png.begin(), png.begin() + static_cast<ptrdiff_t>(cut)));
    auto flipped = png;
    flipped[idats.front().offset + idats.front().size - 1] ^= 0x10; // the first IDAT's stored CRC
    damaged.emplace_back("IDAT with a bad CRC", flipped);
    // An ancillary chunk after the image data: its CRC is checked too.
    auto trailer = edited(png, "", chunk("tEXt", {'k', 0, 'v'}), "IEND");
    trailer[trailer.size() - 12 - 4] ^= 0xFF; // the tEXt chunk's CRC
    damaged.emplace_back("tEXt with a bad CRC", trailer);

    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        auto image = decodeBytes(bytes);
        expectError(image, Kind::corruptData);
        EXPECT_TRUE(image.error().message.starts_with("The PNG data is truncated or corrupt (")) << image.error().message;
    }
    expectError(decodeBytes(flipped), Kind::corruptData, "CRC");
    EXPECT_FALSE(propertiesOfBytes(std::vector<uint8_t>(png.begin(), png.begin() + 20)));
}

TEST(PngDecoder, SeededMutationsFailCleanlyOrDecode)
{
    // Small files of several layouts, each byte-mutated many times; run under the sanitizers this
    // is a cheap fuzz pass over the read, chunk and EXIF paths.
    TemporaryDirectory dir;
    const auto photo = samplePhoto("chelsea.png");
    make(convertCommand(photo, "-resize 40x30 -colors 16 -interlace PNG", "PNG8:" + (dir / "a.png").string()));
    make(convertCommand(photo, "-resize 40x30 -depth 16", "PNG64:" + (dir / "b.png").string()));
    make("exiftool -q -overwrite_original -Orientation#=6 " + shellQuote((dir / "b.png").string()));
    for (const auto& name : {"a.png", "b.png"}) {
        const auto original = readFileBytes(dir / name);
        ASSERT_TRUE(decodeBytes(original));
        for (uint32_t seed = 0; seed < 300; ++seed) {
            auto bytes = original;
            const auto noise = randomBytes(8, seed);
            for (size_t k = 0; k < 4; ++k) {
                const size_t at = 8 + (size_t{noise[2 * k]} << 8 | noise[2 * k + 1]) % (bytes.size() - 8);
                bytes[at] ^= static_cast<uint8_t>(1u << (seed + k) % 8);
            }
            if (seed % 2 == 1) // right CRCs let the damage through to inflate and the EXIF parser
                for (const auto& c : chunksOf(bytes))
                    if (c.offset + c.size <= bytes.size()) {
                        const uLong crc = crc32(0, &bytes[c.offset + 4], static_cast<uInt>(c.size - 8));
                        for (size_t b = 0; b < 4; ++b)
                            bytes[c.offset + c.size - 4 + b] = static_cast<uint8_t>(crc >> (24 - 8 * b));
                    }
            if (seed % 3 == 0)
                bytes.resize(bytes.size() - seed % bytes.size() / 2);
            auto properties = propertiesOfBytes(bytes);
            EXPECT_TRUE(properties || !properties.error().message.empty());
            auto image = decodeBytes(bytes);
            EXPECT_TRUE(image || !image.error().message.empty());
        }
    }
}

TEST(PngDecoder, HugeDimensionsAreRefusedBeforeAllocating)
{
    // A forged header claiming 100000 × 100000 RGBA (40 GB decoded) over one tiny image row.
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    appendBigEndian32(ihdr, 100000);
    appendBigEndian32(ihdr, 100000);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    const auto idat = chunk("IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    for (const auto& part : {chunk("IHDR", ihdr), idat, chunk("IEND", {})})
        png.insert(png.end(), part.begin(), part.end());

    auto source = ImageSource::open(std::make_shared<const std::vector<uint8_t>>(png));
    ASSERT_TRUE(source);
    auto properties = (*source)->properties();
    ASSERT_TRUE(properties) << properties.error().description();
    EXPECT_EQ(properties->pixelWidth, 100000u);
    expectError((*source)->createImage(), Kind::tooLarge);
}

} // namespace
} // namespace pelorin
