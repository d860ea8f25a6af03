// TIFF encoding: real photographs written in every layout we accept and read back by our decoder
// and by ImageMagick, sample for sample; tags and the Exif IFD read by exiftool; write errors
// reported as values.
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/ImageEncoder.h"
#include "engine/Imaging/Codecs/Tiff/ExifDirectoryWriter.h"
#include "engine/Imaging/Codecs/Tiff/TiffDecoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace pelorin {
namespace {

using test::TemporaryDirectory;

Result<void, std::string> encodeToFile(const std::filesystem::path& file, const Image& image,
                                       const ImageProperties& properties)
{
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return unexpected(std::string("cannot create ") + file.string());
    auto written = encodeTiff(fd, image, properties);
    ::close(fd);
    return written;
}

Result<Image, ImageSourceError> decodeWithOurs(const std::filesystem::path& file)
{
    return TiffDecoder(std::make_shared<const std::vector<uint8_t>>(test::readFileBytes(file))).decode();
}

Result<ImageProperties, ImageSourceError> propertiesWithOurs(const std::filesystem::path& file)
{
    return TiffDecoder(std::make_shared<const std::vector<uint8_t>>(test::readFileBytes(file))).properties();
}

// ImageMagick's raw samples (16-bit little-endian) of a file, after `options`.
std::vector<uint8_t> magickRaw(const std::filesystem::path& file, const std::string& options, const std::string& layout,
                               int depth)
{
    const auto out = test::runCommand("convert " + test::shellQuote(file.string()) + " " + options + " -depth " +
                                      std::to_string(depth) + " -endian LSB " + layout + ":-")
                         .output;
    return {out.begin(), out.end()};
}

constexpr const char* lumaAlpha = "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite";

struct Layout {
    const char* name;
    const char* magick;  // ImageMagick's raw layout
    const char* options; // how the photograph becomes that layout
    size_t channels;
    size_t depth;
    AlphaInfo alpha;
};

// A real photograph in `layout`, with 16-bit samples little-endian and an sRGB or grey space.
Image photoAs(const Layout& layout, const char* photo = "chelsea.png")
{
    const auto path = test::samplePhoto(photo);
    const auto bytes = magickRaw(path, layout.options, layout.magick, static_cast<int>(layout.depth));
    const auto size = test::identifyFormat(path, "%w %h");
    size_t width = 0, height = 0;
    std::sscanf(size.c_str(), "%zu %zu", &width, &height);
    const size_t rowBytes = width * layout.channels * layout.depth / 8;
    EXPECT_EQ(bytes.size(), rowBytes * height) << layout.name;
    const ImageFormat format{width, height, layout.depth, layout.depth * layout.channels, rowBytes,
                             BitmapInfo::make(layout.alpha, layout.depth == 16 ? BitmapInfo::byteOrder16Little : 0)};
    const auto space = ColorSpace::named(layout.channels < 3 ? ColorSpace::Name::deviceGray : ColorSpace::Name::sRGB);
    return test::makeImage(format, bytes, space);
}

ImageProperties lzw()
{
    ImageProperties properties;
    properties.tiff = TIFFProperties{5};
    return properties;
}

const Layout layouts[] = {
    {"rgba8", "rgba", lumaAlpha, 4, 8, AlphaInfo::last},
    {"rgba16", "rgba", lumaAlpha, 4, 16, AlphaInfo::last},
    {"rgb16", "rgb", "", 3, 16, AlphaInfo::none},
    {"gray8", "gray", "-colorspace gray", 1, 8, AlphaInfo::none},
    {"gray16", "gray", "-colorspace gray", 1, 16, AlphaInfo::none},
    {"graya8", "graya", "-colorspace gray \\( +clone -negate \\) -alpha off -compose copy_opacity -composite", 2, 8, AlphaInfo::last},
};

TEST(TiffEncoder, RoundTripsEveryLayoutExactlyThroughUsAndImageMagick)
{
    TemporaryDirectory dir;
    for (const auto& layout : layouts) {
        const Image image = photoAs(layout);
        for (const bool compressed : {false, true}) {
            SCOPED_TRACE(std::string(layout.name) + (compressed ? " LZW" : " uncompressed"));
            const auto file = dir / (std::string(layout.name) + (compressed ? "-lzw.tif" : ".tif"));
            auto written = encodeToFile(file, image, compressed ? lzw() : ImageProperties{});
            ASSERT_TRUE(written) << written.error();
            EXPECT_EQ(test::exiftoolTag(file, "Compression"), compressed ? "5" : "1");
            EXPECT_EQ(test::exiftoolTag(file, "SamplesPerPixel"), std::to_string(layout.channels));
            EXPECT_EQ(test::exiftoolTag(file, "ExtraSamples"), layout.channels % 2 == 0 ? "2" : "");

            auto ours = decodeWithOurs(file);
            ASSERT_TRUE(ours) << ours.error().description();
            EXPECT_EQ(ours->bitsPerComponent(), layout.depth);
            EXPECT_EQ(ours->alphaInfo(), static_cast<uint32_t>(layout.alpha));
            EXPECT_TRUE(test::packedPixels(*ours) == test::packedPixels(image));
            EXPECT_TRUE(magickRaw(file, "", layout.magick, static_cast<int>(layout.depth)) == test::packedPixels(image));
        }
    }
}

TEST(TiffEncoder, StraightensPremultipliedAndDropsPaddingLikeEveryOtherWriter)
{
    TemporaryDirectory dir;
    // Two pixels: half-transparent premultiplied red, and opaque blue with a padding byte first.
    const Image premultiplied = test::makeImage({2, 1, 8, 32, 8, BitmapInfo::make(AlphaInfo::premultipliedLast)},
                                                {64, 0, 0, 128, 0, 0, 255, 255});
    ASSERT_TRUE(encodeToFile(dir / "p.tif", premultiplied, {}));
    EXPECT_EQ(magickRaw(dir / "p.tif", "", "rgba", 8), (std::vector<uint8_t>{128, 0, 0, 128, 0, 0, 255, 255}));

    const Image padded = test::makeImage({2, 1, 8, 32, 8, BitmapInfo::make(AlphaInfo::noneSkipFirst)},
                                         {9, 1, 2, 3, 9, 4, 5, 6});
    ASSERT_TRUE(encodeToFile(dir / "x.tif", padded, {}));
    EXPECT_EQ(test::exiftoolTag(dir / "x.tif", "SamplesPerPixel"), "3");
    EXPECT_EQ(magickRaw(dir / "x.tif", "", "rgb", 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
}

TEST(TiffEncoder, WritesProfileResolutionOrientationAndCompressionTags)
{
    TemporaryDirectory dir;
    const std::filesystem::path profilePath = "/usr/share/color/icc/ghostscript/a98.icc";
    const auto profile = test::readFileBytes(profilePath);
    ASSERT_FALSE(profile.empty());
    const Image image = photoAs(layouts[0]).withColorSpace(ColorSpace::fromICCProfile(profile));
    ImageProperties properties = lzw();
    properties.dpiWidth = 300;
    properties.dpiHeight = 150;
    properties.orientation = 6;
    const auto file = dir / "tagged.tif";
    auto written = encodeToFile(file, image, properties);
    ASSERT_TRUE(written) << written.error();

    const auto tags = test::runCommand("exiftool -s -n -Compression -Predictor -Orientation -XResolution -YResolution "
                                       "-ResolutionUnit -BitsPerSample " + file.string()).output;
    for (const char* expected : {"Compression                     : 5", "Predictor                       : 2",
                                 "Orientation                     : 6", "XResolution                     : 300",
                                 "YResolution                     : 150", "ResolutionUnit                  : 2",
                                 "BitsPerSample                   : 8 8 8 8"})
        EXPECT_NE(tags.find(expected), std::string::npos) << expected << " in\n" << tags;
    const auto icc = test::runCommand("exiftool -icc_profile -b " + file.string()).output;
    EXPECT_TRUE(std::vector<uint8_t>(icc.begin(), icc.end()) == profile);
    EXPECT_EQ(test::runCommand("exiftool -s3 -validate -warning -a " + file.string()).output, "OK\n");

    // Named spaces carry no profile; no properties, no optional tags.
    auto plain = encodeToFile(dir / "plain.tif", photoAs(layouts[3]), {});
    ASSERT_TRUE(plain) << plain.error();
    for (const char* absent : {"ICC_Profile", "Orientation", "XResolution", "ExifOffset", "Predictor"})
        EXPECT_EQ(test::exiftoolTag(dir / "plain.tif", absent), "") << absent;
}

TEST(TiffEncoder, ExifIfdCarriesEveryExifTagExactlyAndNothingFromIfd0OrGps)
{
    TemporaryDirectory dir;
    const auto source = dir / "camera.tif";
    test::make("convert " + test::shellQuote(test::samplePhoto("rocket.jpg").string()) + " -endian MSB " + source.string());
    test::make("exiftool -q -overwrite_original -DateTimeOriginal='2023:05:06 07:08:09' -ExposureTime=1/250 "
               "-FNumber=2.8 -ISO=400 -UserComment='cutout test' -SubSecTimeOriginal=042 -Make=Maker -Model=Camera "
               "-GPSLatitude=48.8584 -GPSLatitudeRef=N " + source.string());
    auto properties = propertiesWithOurs(source);
    ASSERT_TRUE(properties) << properties.error().description();
    ASSERT_TRUE(properties->exif);
    auto image = decodeWithOurs(source);
    ASSERT_TRUE(image) << image.error().description();

    const auto file = dir / "cutout.tif";
    auto written = encodeToFile(file, *image, *properties);
    ASSERT_TRUE(written) << written.error();
    const auto tags = test::runCommand("exiftool -s -n -G1 -a " + file.string()).output;
    // The common tags, and no camera identity or location, are checked through CutoutFidelity.
    for (const char* expected : {"[ExifIFD]       DateTimeOriginal                : 2023:05:06 07:08:09",
                                 "[ExifIFD]       UserComment                     : cutout test",
                                 "[ExifIFD]       SubSecTimeOriginal              : 042"})
        EXPECT_NE(tags.find(expected), std::string::npos) << expected << " in\n" << tags;
    EXPECT_EQ(tags.find("[GPS]"), std::string::npos) << tags;
    // exiftool's own source tags include ComponentsConfiguration, which it then calls out of
    // place in TIFF; we carry every Exif entry as given, so that is the only remark allowed.
    const auto validation = test::runCommand("exiftool -s3 -validate -warning -a " + file.string()).output;
    EXPECT_TRUE(validation == "OK\n" ||
                validation == "1 Warning (minor)\n[minor] ExifIFD tag 0x9101 ComponentsConfiguration is not allowed in TIFF\n")
        << validation;

    // Read back, the dictionary is the one we wrote, value for value (big-endian source or not).
    auto reread = propertiesWithOurs(file);
    ASSERT_TRUE(reread && reread->exif);
    EXPECT_TRUE(*reread->exif == *properties->exif);
}

TEST(TiffEncoder, UnusualExifEntriesAreWrittenAsGivenOrSkippedWithoutFailing)
{
    auto entry = [](uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> bytes) {
        return ExifValue{tag, type, count, std::move(bytes)};
    };
    ExifDictionary exif = {
        {"ISOSpeedRatings", entry(0x8827, 4, 1, {0x20, 0x03, 0, 0})},          // LONG where SHORT is usual
        {"PrivateTag", entry(0xc7f0, 7, 5, {'h', 'e', 'l', 'l', 'o'})},         // unknown to every library
        {"Truncated", entry(0x9204, 10, 1, {1, 0, 0, 0})},                       // SRATIONAL of 4 bytes
        {"Mystery", entry(0x9205, 99, 1, {1})},                                  // no such type
        {"Interop", entry(0xa005, 4, 1, {8, 0, 0, 0})},                          // a pointer that would dangle
        {"Empty", entry(0x9206, 2, 0, {})},
    };
    const auto directory = tiff::writeExifDirectory(exif, 8);
    EXPECT_EQ(directory.skipped, (std::vector<std::string>{"Empty", "Interop", "Mystery", "Truncated"}));

    TemporaryDirectory dir;
    ImageProperties properties;
    properties.exif = exif;
    auto written = encodeToFile(dir / "odd.tif", photoAs(layouts[3]), properties);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(test::exiftoolTag(dir / "odd.tif", "ISO"), "800");
    const auto dump = test::runCommand("exiftool -v3 " + (dir / "odd.tif").string()).output;
    EXPECT_NE(dump.find("0xc7f0"), std::string::npos) << dump;
    EXPECT_NE(dump.find("hello"), std::string::npos);
    auto reread = propertiesWithOurs(dir / "odd.tif");
    ASSERT_TRUE(reread && reread->exif);
    EXPECT_EQ(reread->exif->size(), 2u);
}

TEST(TiffEncoder, WritesAtTheDescriptorsOffsetAndLeavesItAtTheEnd)
{
    TemporaryDirectory dir;
    const auto file = dir / "prefixed.bin";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const auto prefix = test::randomBytes(101, 3);
    ASSERT_EQ(::write(fd, prefix.data(), prefix.size()), 101);
    const Image image = photoAs(layouts[0]);
    ImageProperties properties = lzw();
    properties.orientation = 3;
    auto written = encodeTiff(fd, image, properties);
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    ::close(fd);
    ASSERT_TRUE(written) << written.error();
    auto bytes = test::readFileBytes(file);
    EXPECT_EQ(static_cast<size_t>(end), bytes.size());
    bytes.erase(bytes.begin(), bytes.begin() + 101);
    TiffDecoder decoder(std::make_shared<const std::vector<uint8_t>>(bytes));
    auto decoded = decoder.decode();
    ASSERT_TRUE(decoded) << decoded.error().description();
    EXPECT_TRUE(test::packedPixels(*decoded) == test::packedPixels(image));
    EXPECT_EQ(decoder.properties()->orientation, 3);
}

TEST(TiffEncoder, WriteErrorsAndUnwritableImagesAreErrorValues)
{
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    auto failed = encodeTiff(full, photoAs(layouts[0]), lzw());
    ::close(full);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("No space left on device"), std::string::npos) << failed.error();

    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    auto unseekable = encodeTiff(pipeEnds[1], photoAs(layouts[3]), {});
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    ASSERT_FALSE(unseekable);
    EXPECT_NE(unseekable.error().find("Illegal seek"), std::string::npos) << unseekable.error();

    TemporaryDirectory dir;
    const auto pixels = test::randomBytes(16 * 4, 5);
    const Image floats = test::makeImage({4, 1, 32, 128, 64, BitmapInfo::make(AlphaInfo::last, BitmapInfo::floatComponents)}, pixels);
    const Image cmyk = test::makeImage({16, 1, 8, 32, 64, 0}, pixels, ColorSpace::named(ColorSpace::Name::deviceCMYK));
    const Image spaceless = test::makeImage({16, 1, 8, 32, 64, BitmapInfo::make(AlphaInfo::last)}, pixels, std::nullopt);
    for (const Image* image : {&floats, &cmyk, &spaceless}) {
        auto refused = encodeToFile(dir / "refused.tif", *image, {});
        ASSERT_FALSE(refused);
        EXPECT_FALSE(refused.error().empty());
    }
}

} // namespace
} // namespace pelorin
