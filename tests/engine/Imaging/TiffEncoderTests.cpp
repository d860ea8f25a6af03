// TIFF encoding: a real photograph written in each layout we accept and read back by our decoder
// and by ImageMagick, sample for sample; tags and the Exif IFD read by exiftool; write errors
// reported as values. What a cutout keeps from real sources is checked through CutoutFidelity,
// premultiplied and padded pixels through RowNormalizer, which every encoder reads rows from.
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/ImageEncoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace pelorin {
namespace {

using namespace test;

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

struct Layout {
    const char* name;
    const char* magick;  // ImageMagick's raw layout
    const char* options; // how the photograph becomes that layout
    size_t channels, depth;
    AlphaInfo alpha;
};

const char* const lumaAlpha = "\\( +clone -colorspace gray \\) -alpha off -compose copy_opacity -composite";
const Layout rgba8{"rgba8", "rgba", lumaAlpha, 4, 8, AlphaInfo::last},
    gray8{"gray8", "gray", "-colorspace gray", 1, 8, AlphaInfo::none};

// The 451 × 300 photograph in `layout`, 16-bit samples little-endian, in sRGB or grey.
Image photoAs(const Layout& layout)
{
    return makeImage({451, 300, layout.depth, layout.depth * layout.channels, 451 * layout.channels * layout.depth / 8,
                      BitmapInfo::make(layout.alpha, layout.depth == 16 ? BitmapInfo::byteOrder16Little : 0)},
                     magickRaw(samplePhoto("chelsea.png"), layout.magick, int(layout.depth), layout.options),
                     ColorSpace::named(layout.channels < 3 ? ColorSpace::Name::deviceGray : ColorSpace::Name::sRGB));
}

ImageProperties lzw()
{
    ImageProperties properties;
    properties.tiff = TIFFProperties{5};
    return properties;
}

TEST(TiffEncoder, RoundTripsEachLayoutExactlyThroughUsAndImageMagick)
{
    TemporaryDirectory dir;
    for (const auto& layout : {rgba8, Layout{"rgba16", "rgba", lumaAlpha, 4, 16, AlphaInfo::last},
                               Layout{"rgb16", "rgb", "", 3, 16, AlphaInfo::none}, gray8,
                               Layout{"graya8", "graya",
                                      "-colorspace gray \\( +clone -negate \\) -alpha off "
                                      "-compose copy_opacity -composite",
                                      2, 8, AlphaInfo::last}}) {
        const Image image = photoAs(layout);
        for (const bool compressed : {false, true}) {
            SCOPED_TRACE(std::string(layout.name) + (compressed ? " LZW" : " uncompressed"));
            const auto file = dir / (std::string(layout.name) + (compressed ? "-lzw.tif" : ".tif"));
            auto written = encodeToFile(file, image, compressed ? lzw() : ImageProperties{});
            ASSERT_TRUE(written) << written.error();
            EXPECT_EQ(exiftoolTag(file, "Compression"), compressed ? "5" : "1");
            EXPECT_EQ(exiftoolTag(file, "ExtraSamples"), layout.channels % 2 == 0 ? "2" : ""); // unassociated
            const auto ours = ok(decodeFile(file));
            EXPECT_EQ(ours.format(), image.format());
            EXPECT_TRUE(packedPixels(ours) == packedPixels(image));
            EXPECT_TRUE(magickRaw(file, layout.magick, int(layout.depth)) == packedPixels(image));
        }
    }
}

TEST(TiffEncoder, TagsAndTheExifIfdAreWhatWasGivenAndValidate)
{
    TemporaryDirectory dir;
    const auto source = convertPhoto("rocket.jpg", "-endian MSB", dir / "camera.tif");
    make("exiftool -q -overwrite_original -DateTimeOriginal='2023:05:06 07:08:09' -ExposureTime=1/250 -ISO=400 "
         "-UserComment='cutout test' -SubSecTimeOriginal=042 -Make=Maker -GPSLatitude=48.8584 -GPSLatitudeRef=N "
         + q(source));
    auto properties = propertiesOf(source);
    ASSERT_TRUE(properties && properties->exif);
    properties->tiff = TIFFProperties{5};
    properties->dpiWidth = 300;
    properties->dpiHeight = 150;
    properties->orientation = 6;
    const auto file = dir / "tagged.tif";
    auto written = encodeToFile(file, photoAs(rgba8), *properties);
    ASSERT_TRUE(written) << written.error();

    EXPECT_EQ(exiftoolTag(file, "YResolution"), "150");
    // exiftool's own source tags include ComponentsConfiguration, which it then calls out of
    // place in TIFF; we carry every Exif entry as given, so that is the only remark allowed.
    const auto validation = runCommand("exiftool -s3 -validate -warning -a " + q(file)).output;
    EXPECT_TRUE(validation == "OK\n"
                || validation
                    == "1 Warning (minor)\n[minor] ExifIFD tag 0x9101 ComponentsConfiguration is not allowed in TIFF\n")
        << validation;
    auto reread = propertiesOf(file);
    ASSERT_TRUE(reread && reread->exif);
    EXPECT_TRUE(*reread->exif == *properties->exif); // value for value, from a big-endian source

    // Entries no camera library would write are written as given or skipped, never a failure. A
    // named space carries no profile; without resolution or orientation, no such tags.
    ImageProperties odd;
    odd.exif = {
        {"ISOSpeedRatings", {0x8827, 4, 1, {0x20, 0x03, 0, 0}}},   // LONG where SHORT is usual
        {"PrivateTag", {0xc7f0, 7, 5, {'h', 'e', 'l', 'l', 'o'}}}, // unknown to every library
        {"Truncated", {0x9204, 10, 1, {1, 0, 0, 0}}},              // SRATIONAL of 4 bytes
        {"Mystery", {0x9205, 99, 1, {1}}},                         // no such type
        {"Interop", {0xa005, 4, 1, {8, 0, 0, 0}}},                 // a pointer that would dangle
        {"Empty", {0x9206, 2, 0, {}}},
    };
    written = encodeToFile(dir / "odd.tif", photoAs(gray8), odd);
    ASSERT_TRUE(written) << written.error();
    EXPECT_EQ(exiftoolTag(dir / "odd.tif", "ISO"), "800");
    for (const char* absent : {"ICC_Profile", "Orientation", "XResolution", "Predictor"})
        EXPECT_EQ(exiftoolTag(dir / "odd.tif", absent), "") << absent;
    reread = propertiesOf(dir / "odd.tif");
    ASSERT_TRUE(reread && reread->exif);
    EXPECT_EQ(reread->exif->size(), 2u); // ISO and the private tag
    EXPECT_EQ(reread->exif->at("0xc7f0"), odd.exif->at("PrivateTag"));
}

// Images without a colour space, or in one no output takes, are refused before any encoder
// (ImageIOTests); a full disk through libtiff's own write path is this encoder's.
TEST(TiffEncoder, WriteErrorsAreErrorValues)
{
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    auto failed = encodeTiff(full, photoAs(rgba8), lzw());
    ::close(full);
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("No space left on device"), std::string::npos) << failed.error();
}

} // namespace
} // namespace pelorin
