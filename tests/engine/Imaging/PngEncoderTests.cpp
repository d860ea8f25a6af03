// PNG encoding: exact round trips read back by ImageMagick and by our decoder, and the chunks that
// carry colour, resolution and orientation as exiftool reads them. A full disk is CliFaultTests',
// images no encoder stores ImageIO's.
#include "DecoderTestSupport.h"

#include "engine/Imaging/Codecs/ImageEncoder.h"
#include "engine/Imaging/Codecs/Png/PngCompression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <sstream>
#include <unistd.h>

namespace pelorin {
namespace {

using namespace test;

const std::string iccFolder = "/usr/share/color/icc/ghostscript/";

// A cutout-like picture: smooth colour with noise, an elliptical alpha that is 0 around the
// subject while the colour there is kept.
Image cutout(size_t width, size_t height, size_t depth, uint32_t seed)
{
    const auto noise = randomBytes(width * height * 4, seed);
    std::vector<uint8_t> pixels;
    for (size_t i = 0; i < width * height; ++i) {
        const size_t x = i % width, y = i / width;
        const double dx = (x - width / 2.0) / (width * 0.35), dy = (y - height / 2.0) / (height * 0.4);
        const double alpha = std::clamp((1.0 - std::hypot(dx, dy)) * 8.0, 0.0, 1.0);
        for (unsigned v : {unsigned(x * 65535 / width) ^ (noise[4 * i] & 15u),
                           unsigned(y * 65535 / height) ^ (noise[4 * i + 1] << 4),
                           noise[4 * i + 2] * 257u ^ noise[4 * i + 3], unsigned(std::lround(alpha * 65535))}) {
            pixels.push_back(uint8_t(depth == 8 ? v >> 8 : v)); // 16-bit little-endian
            if (depth == 16)
                pixels.push_back(uint8_t(v >> 8));
        }
    }
    return makeImage({width, height, depth, 4 * depth, width * depth / 2,
                      BitmapInfo::make(AlphaInfo::last, depth == 16 ? BitmapInfo::byteOrder16Little : 0)},
                     std::move(pixels));
}

Image linearMask(size_t width, size_t height)
{
    std::vector<uint8_t> pixels(width * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            pixels[y * width + x] = static_cast<uint8_t>(std::clamp<long>(std::lround((x + y) * 0.7) - 100, 0, 255));
    return makeImage({width, height, 8, 8, width, BitmapInfo::make(AlphaInfo::none)}, std::move(pixels),
                     linearGrayColorSpace());
}

Result<void, std::string> writeTo(const std::filesystem::path& path, const Image& image,
                                  const ImageProperties& properties = {},
                                  std::optional<png::PngCompression> compression = std::nullopt)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return unexpected(std::string("could not create the test file"));
    auto written =
        compression ? png::encodePngWith(fd, image, properties, *compression) : encodePng(fd, image, properties);
    ::close(fd);
    return written;
}

// The chunk types exiftool sees, in file order, without the image data and the end marker.
std::vector<std::string> metadataChunks(const std::filesystem::path& file)
{
    std::istringstream lines(runCommand("exiftool -v " + shellQuote(file.string())).output);
    std::vector<std::string> types;
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("PNG ") && line.size() >= 8) {
            const auto type = line.substr(4, 4);
            if (type != "IDAT" && type != "IEND")
                types.push_back(type);
        }
    return types;
}

TEST(PngEncoder, RoundTripsKeepEveryByteForImageMagickAndForOurDecoder)
{
    TemporaryDirectory dir;
    png::PngCompression manyBands = png::PngCompression::preferred(8);
    manyBands.bandBytes = 40000; // dozens of bands, each joined to the next
    // Each method alone, so both kinds of band ending are joined whatever the trials pick.
    auto only = [&manyBands](size_t method) {
        auto compression = manyBands;
        compression.methods = {manyBands.methods.at(method)};
        return compression;
    };
    struct Case {
        std::string name;
        Image image;
        std::optional<png::PngCompression> compression;
        std::string layout, identify;
    };
    const std::vector<Case> cases = {
        {"rgba8.png", cutout(601, 403, 8, 1), std::nullopt, "rgba", "srgba 8"},
        {"rgba8-bands.png", cutout(601, 403, 8, 2), manyBands, "rgba", "srgba 8"},
        {"rgba8-bands-first.png", cutout(601, 403, 8, 5), only(0), "rgba", "srgba 8"},
        {"rgba8-bands-second.png", cutout(601, 403, 8, 6), only(1), "rgba", "srgba 8"},
        {"rgba16.png", cutout(333, 251, 16, 3), std::nullopt, "rgba", "srgba 16"},
        {"rgba16-bands.png", cutout(333, 251, 16, 4), manyBands, "rgba", "srgba 16"},
        // Several bands of the default size, each with a trial of the default size.
        {"rgba16-large.png", cutout(1400, 1000, 16, 8), std::nullopt, "rgba", "srgba 16"},
        {"mask.png", linearMask(517, 389), std::nullopt, "gray", "lineargray 8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto path = dir / c.name;
        auto written = writeTo(path, c.image, {}, c.compression);
        ASSERT_TRUE(written) << written.error();
        EXPECT_EQ(identifyFormat(path, "%[channels] %z %wx%h"),
                  c.identify + " " + std::to_string(c.image.width()) + "x" + std::to_string(c.image.height()));
        const auto source = packedPixels(c.image);
        // "-set colorspace" stops ImageMagick converting linear grey on the way out.
        EXPECT_TRUE(
            magickRaw(path, c.layout, int(c.image.bitsPerComponent()), c.layout == "gray" ? "-set colorspace Gray" : "")
            == source);
        auto decoded = decodeFile(path);
        ASSERT_TRUE(decoded) << decoded.error().description();
        EXPECT_EQ(decoded->format(), c.image.format());
        EXPECT_TRUE(packedPixels(*decoded) == source);
        EXPECT_EQ(decoded->colorSpace(), c.image.colorSpace());
    }
}

TEST(PngEncoder, ColourSpaceBecomesIccpSrgbOrGamma)
{
    TemporaryDirectory dir;
    const Image rgba = cutout(64, 48, 8, 9);
    // Any profile, even one of sRGB, is kept byte for byte (a98 is checked through CutoutFidelity).
    const auto profile = readFileBytes(iccFolder + "srgb.icc");
    auto written = writeTo(dir / "profiled.png", rgba.withColorSpace(ColorSpace::fromICCProfile(profile)));
    ASSERT_TRUE(written) << written.error();
    const auto stored = runCommand("exiftool -b -icc_profile " + q(dir / "profiled.png")).output;
    EXPECT_TRUE(std::vector<uint8_t>(stored.begin(), stored.end()) == profile);
    EXPECT_EQ(metadataChunks(dir / "profiled.png"), (std::vector<std::string>{"IHDR", "iCCP"}));

    // sRGB perceptual, linear grey as gamma 1, a device space as nothing.
    for (const auto& [image, chunks, tag, value] :
         {std::tuple{rgba, std::vector<std::string>{"IHDR", "sRGB"}, "SRGBRendering", "0"},
          {linearMask(40, 30), {"IHDR", "gAMA"}, "Gamma", "1"},
          {rgba.withColorSpace(ColorSpace::named(ColorSpace::Name::deviceRGB)), {"IHDR"}, "Gamma", ""}}) {
        ASSERT_TRUE(writeTo(dir / "space.png", image));
        EXPECT_EQ(metadataChunks(dir / "space.png"), chunks);
        EXPECT_EQ(exiftoolTag(dir / "space.png", tag), value);
    }

    // A profile that cannot describe these pixels is refused, never silently dropped.
    auto damaged = readFileBytes(iccFolder + "a98.icc");
    damaged.resize(100);
    for (const std::optional<ColorSpace>& space :
         {std::optional(ColorSpace::fromICCProfile(readFileBytes(iccFolder + "sgray.icc"))),
          std::optional(ColorSpace::fromICCProfile(damaged)), std::optional<ColorSpace>()})
        EXPECT_FALSE(writeTo(dir / "refused.png", rgba.withColorSpace(space)));
}

// exiftool reads what CutoutFidelity writes from real sources (EXIF, orientation, even
// resolutions); here uneven resolutions, and an orientation without EXIF, before the image data.
TEST(PngEncoder, PropertiesBecomePhysAndExifChunks)
{
    TemporaryDirectory dir;
    ImageProperties properties;
    properties.dpiWidth = 300;
    properties.dpiHeight = 150;
    properties.orientation = 3;
    ASSERT_TRUE(writeTo(dir / "tagged.png", cutout(64, 48, 8, 11), properties));
    EXPECT_EQ(exiftoolTag(dir / "tagged.png", "PixelsPerUnitY"), "5906");
    EXPECT_EQ(exiftoolTag(dir / "tagged.png", "Orientation"), "3");
    EXPECT_EQ(metadataChunks(dir / "tagged.png"), (std::vector<std::string>{"IHDR", "sRGB", "eXIf", "pHYs"}));
    auto read = propertiesOf(dir / "tagged.png");
    ASSERT_TRUE(read) << read.error().description();
    EXPECT_EQ(read->orientation, 3);
    EXPECT_NEAR(read->dpiWidth.value_or(0), 300, 0.01);
    EXPECT_NEAR(read->dpiHeight.value_or(0), 150, 0.02);
}

} // namespace
} // namespace pelorin
