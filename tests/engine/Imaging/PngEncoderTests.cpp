// PNG encoding: exact round trips read back by ImageMagick and by our decoder, the chunks that
// carry colour, resolution and EXIF as exiftool reads them, and write failures.
#include "DecoderTestSupport.h"

#include "engine/Imaging/Codecs/ImageEncoder.h"
#include "engine/Imaging/Codecs/Png/PngCompression.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <unistd.h>

namespace pelorin {
namespace {

using namespace test;

const std::string iccFolder = "/usr/share/color/icc/ghostscript/";

// A cutout-like picture: smooth colour with noise, an elliptical alpha that is 0 around the
// subject while the colour there is kept.
Image cutout(size_t width, size_t height, size_t bitsPerComponent, uint32_t seed)
{
    const size_t bytes = bitsPerComponent / 8;
    const auto noise = randomBytes(width * height * 4, seed);
    std::vector<uint8_t> pixels(width * height * 4 * bytes);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            const size_t i = y * width + x;
            const double dx = (x - width / 2.0) / (width * 0.35), dy = (y - height / 2.0) / (height * 0.4);
            const double alpha = std::clamp((1.0 - std::sqrt(dx * dx + dy * dy)) * 8.0, 0.0, 1.0);
            const unsigned samples[4] = {static_cast<unsigned>(x * 65535 / width) ^ (noise[4 * i] & 15u),
                                         static_cast<unsigned>(y * 65535 / height) ^ (noise[4 * i + 1] << 4),
                                         noise[4 * i + 2] * 257u ^ noise[4 * i + 3],
                                         static_cast<unsigned>(std::lround(alpha * 65535))};
            for (size_t c = 0; c < 4; ++c) {
                const unsigned v = bytes == 1 ? samples[c] >> 8 : samples[c];
                pixels[(i * 4 + c) * bytes] = static_cast<uint8_t>(v); // little-endian when 16-bit
                if (bytes == 2)
                    pixels[(i * 4 + c) * 2 + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
    const uint32_t order = bytes == 2 ? BitmapInfo::byteOrder16Little : 0;
    return makeImage({width, height, bitsPerComponent, 4 * bitsPerComponent, width * 4 * bytes,
                      BitmapInfo::make(AlphaInfo::last, order)},
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
    auto written = compression ? png::encodePngWith(fd, image, properties, *compression)
                               : encodePng(fd, image, properties);
    ::close(fd);
    return written;
}

// ImageMagick's samples as stored: "-set colorspace" stops it converting linear grey on the way out.
std::vector<uint8_t> magickRaw(const std::filesystem::path& file, size_t depth, const std::string& layout)
{
    const std::string stored = layout == "gray" ? " -set colorspace Gray" : "";
    const auto out = runCommand("convert " + shellQuote(file.string()) + stored + " -depth " + std::to_string(depth) +
                                " -endian LSB " + layout + ":-")
                         .output;
    return {out.begin(), out.end()};
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
        EXPECT_TRUE(magickRaw(path, c.image.bitsPerComponent(), c.layout) == source);
        auto decoded = decodeFile(path);
        ASSERT_TRUE(decoded) << decoded.error().description();
        EXPECT_EQ(decoded->format(), c.image.format());
        EXPECT_TRUE(packedPixels(*decoded) == source);
        EXPECT_EQ(decoded->colorSpace(), c.image.colorSpace());
    }
}

TEST(PngEncoder, ParallelBandsGiveTheSameFileAsOneThread)
{
    TemporaryDirectory dir;
    for (size_t depth : {8, 16}) {
        SCOPED_TRACE(depth);
        const Image image = cutout(640, 480, depth, 7);
        auto parallel = png::PngCompression::preferred(depth);
        parallel.bandBytes = 100000;
        auto serial = parallel;
        serial.parallel = false;
        ASSERT_TRUE(writeTo(dir / "parallel.png", image, {}, parallel));
        ASSERT_TRUE(writeTo(dir / "serial.png", image, {}, serial));
        EXPECT_TRUE(readFileBytes(dir / "parallel.png") == readFileBytes(dir / "serial.png"));
    }
}

TEST(PngEncoder, ColourSpaceBecomesIccpSrgbOrGamma)
{
    TemporaryDirectory dir;
    const Image rgba = cutout(64, 48, 8, 9);
    for (const auto& name : {"a98.icc", "srgb.icc"}) {
        SCOPED_TRACE(name);
        const auto profile = readFileBytes(iccFolder + name);
        const auto path = dir / "profiled.png";
        auto written = writeTo(path, rgba.withColorSpace(ColorSpace::fromICCProfile(profile)));
        ASSERT_TRUE(written) << written.error();
        const auto stored = runCommand("exiftool -b -icc_profile " + shellQuote(path.string())).output;
        EXPECT_TRUE(std::vector<uint8_t>(stored.begin(), stored.end()) == profile);
        EXPECT_EQ(metadataChunks(path), (std::vector<std::string>{"IHDR", "iCCP"}));
    }

    ASSERT_TRUE(writeTo(dir / "srgb.png", rgba));
    EXPECT_EQ(metadataChunks(dir / "srgb.png"), (std::vector<std::string>{"IHDR", "sRGB"}));
    EXPECT_EQ(exiftoolTag(dir / "srgb.png", "SRGBRendering"), "0"); // perceptual

    ASSERT_TRUE(writeTo(dir / "mask.png", linearMask(40, 30)));
    EXPECT_EQ(metadataChunks(dir / "mask.png"), (std::vector<std::string>{"IHDR", "gAMA"}));
    EXPECT_EQ(exiftoolTag(dir / "mask.png", "Gamma"), "1");

    ASSERT_TRUE(writeTo(dir / "device.png", rgba.withColorSpace(ColorSpace::named(ColorSpace::Name::deviceRGB))));
    EXPECT_EQ(metadataChunks(dir / "device.png"), (std::vector<std::string>{"IHDR"}));

    // A profile that cannot describe these pixels is refused, never silently dropped.
    auto grey = writeTo(dir / "wrong.png", rgba.withColorSpace(ColorSpace::fromICCProfile(readFileBytes(iccFolder + "sgray.icc"))));
    ASSERT_FALSE(grey);
    EXPECT_NE(grey.error().find("colour profile"), std::string::npos) << grey.error();
    auto damaged = readFileBytes(iccFolder + "a98.icc");
    damaged.resize(100);
    EXPECT_FALSE(writeTo(dir / "short.png", rgba.withColorSpace(ColorSpace::fromICCProfile(damaged))));
    EXPECT_FALSE(writeTo(dir / "none.png", rgba.withColorSpace(std::nullopt)));
}

TEST(PngEncoder, PropertiesBecomePhysAndExifChunks)
{
    TemporaryDirectory dir;
    const Image rgba = cutout(64, 48, 8, 11);
    ImageProperties properties;
    properties.dpiWidth = 300;
    properties.dpiHeight = 150;
    properties.orientation = 6;
    const std::string date = "2020:01:02 03:04:05";
    std::vector<uint8_t> ascii(date.begin(), date.end());
    ascii.push_back(0);
    properties.exif = ExifDictionary{{"DateTimeOriginal", ExifValue{0x9003, 2, 20, ascii}}};
    const auto path = dir / "tagged.png";
    auto written = writeTo(path, rgba, properties);
    ASSERT_TRUE(written) << written.error();
    // exiftool reads what CutoutFidelity writes from real sources; here the chunks' order, and
    // uneven resolutions back through our own reader.
    EXPECT_EQ(exiftoolTag(path, "PixelsPerUnitY"), "5906");
    EXPECT_EQ(metadataChunks(path), (std::vector<std::string>{"IHDR", "sRGB", "eXIf", "pHYs"}));
    auto source = ImageSource::open(path);
    ASSERT_TRUE(source);
    auto read = (*source)->properties();
    ASSERT_TRUE(read);
    EXPECT_EQ(read->orientation, 6);
    EXPECT_NEAR(read->dpiWidth.value_or(0), 300, 0.01);
    EXPECT_NEAR(read->dpiHeight.value_or(0), 150, 0.02);
    EXPECT_EQ(read->exif, properties.exif);

    ImageProperties orientationOnly;
    orientationOnly.orientation = 3;
    ASSERT_TRUE(writeTo(dir / "oriented.png", rgba, orientationOnly));
    EXPECT_EQ(exiftoolTag(dir / "oriented.png", "Orientation"), "3");
    EXPECT_EQ(metadataChunks(dir / "oriented.png"), (std::vector<std::string>{"IHDR", "sRGB", "eXIf"}));
}

TEST(PngEncoder, WriteFailuresAndUnwritableImagesAreErrorValues)
{
    const Image rgba = cutout(300, 200, 8, 13);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    auto written = encodePng(full, rgba, {});
    ::close(full);
    ASSERT_FALSE(written);
    EXPECT_NE(written.error().find("No space left on device"), std::string::npos) << written.error();

    auto closed = encodePng(-1, rgba, {});
    ASSERT_FALSE(closed);
    EXPECT_NE(closed.error().find("Bad file descriptor"), std::string::npos) << closed.error();

    TemporaryDirectory dir;
    const Image floats = makeImage({4, 4, 32, 32, 16, BitmapInfo::make(AlphaInfo::none, BitmapInfo::floatComponents)},
                                   std::vector<uint8_t>(64), linearGrayColorSpace());
    EXPECT_FALSE(writeTo(dir / "float.png", floats));
}

} // namespace
} // namespace pelorin
