// HEIF decoding: lossless and deep files from heif-enc against ImageMagick and heif-convert,
// alpha and container rotation. (The embedded profile, EXIF and cuts are checked through
// CutoutFidelity and DamagedFile, AV1 and forged sizes through HeifContainer.)
#include "DecoderTestSupport.h"

#include <libheif/heif.h>

#include <gtest/gtest.h>

#include <cstring>

using namespace pelorin;
using namespace pelorin::test;

// libx265, which the fixtures below encode with in-process, keeps a few allocations until exit;
// a sanitizer build would report them as leaks of this test program. Weak, so that another test
// file may define its own list.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}

namespace {

// A crop of a real photograph as PNG; odd sizes make libheif pad its rows.
std::filesystem::path photoCrop(const TemporaryDirectory& dir, const std::string& name, const std::string& extra = "")
{
    return convertPhoto("astronaut.png", "-crop 97x63+200+100 +repage -strip " + extra, dir / (name + ".png"));
}

std::filesystem::path heifEnc(const TemporaryDirectory& dir, const std::filesystem::path& input,
                              const std::string& name, const std::string& options)
{
    const auto out = dir / (name + ".heic");
    make("heif-enc " + options + " " + q(input) + " -o " + q(out));
    return out;
}

const std::string lossless = "-L -p chroma=444 --matrix_coefficients=0";

uint16_t sample16(std::span<const uint8_t> bytes, size_t index)
{
    return uint16_t(bytes[2 * index] | bytes[2 * index + 1] << 8);
}

// 64 × 32, left half red, right half blue, stored with a quarter turn clockwise in the container,
// which heif-enc cannot write: through libheif's own API.
void writeRotatedHalves(const std::filesystem::path& path)
{
    heif_context* context = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_image* image = nullptr;
    heif_image_handle* handle = nullptr;
    ASSERT_EQ(heif_context_get_encoder_for_format(context, heif_compression_HEVC, &encoder).code, heif_error_Ok);
    heif_encoder_set_lossy_quality(encoder, 100);
    heif_image_create(64, 32, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, 64, 32, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            std::memcpy(plane + y * stride + x * 3, x < 32 ? "\xDC\x14\x14" : "\x14\x14\xDC", 3);
    heif_encoding_options* options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation_rotate_90_cw;
    EXPECT_EQ(heif_context_encode_image(context, image, encoder, options, &handle).code, heif_error_Ok);
    EXPECT_EQ(heif_context_write_to_file(context, path.c_str()).code, heif_error_Ok);
    heif_image_handle_release(handle);
    heif_encoding_options_free(options);
    heif_image_release(image);
    heif_encoder_release(encoder);
    heif_context_free(context);
}

} // namespace

TEST(HeifDecoder, DeepSamplesAreWidenedToTheFullSixteenBitRange)
{
    TemporaryDirectory dir;
    const auto png16 = photoCrop(dir, "deep", "-depth 16");
    make("convert " + q(png16) + " -depth 16 PNG48:" + q(png16)); // the source has 8-bit samples
    for (int bits : {10, 12}) {
        SCOPED_TRACE(bits);
        const auto heic =
            heifEnc(dir, png16, "deep" + std::to_string(bits), "-b " + std::to_string(bits) + " " + lossless);
        const auto image = ok(decodeFile(heic));
        EXPECT_EQ(
            image.format(),
            (ImageFormat{97, 63, 16, 48, 97 * 6, BitmapInfo::make(AlphaInfo::none, BitmapInfo::byteOrder16Little)}));
        // heif-convert writes the same decode as v << (16 - bits): our top bits must equal its.
        make("heif-convert " + q(heic) + " " + q(dir / "converted.png"));
        const auto reference = magickRaw(dir / "converted.png", "rgb", 16);
        ASSERT_EQ(image.bytes().size(), reference.size());
        const int spare = 16 - bits;
        for (size_t i = 0; i < reference.size() / 2; ++i) {
            const uint16_t v = sample16(image.bytes(), i);
            ASSERT_EQ(v >> spare, sample16(reference, i) >> spare) << i;
            ASSERT_EQ(v & ((1 << spare) - 1), v >> (16 - spare)) << "low bits repeat the top bits at " << i;
        }
    }
}

// Odd sizes make libheif pad its rows.
TEST(HeifDecoder, LosslessPhotosMatchTheirSourceAndAlphaComesOutStraightEvenWhenPremultiplied)
{
    TemporaryDirectory dir;
    const auto rgbPng = photoCrop(dir, "crop");
    const auto rgb = ok(decodeFile(heifEnc(dir, rgbPng, "crop", lossless)));
    EXPECT_EQ(rgb.format(), (ImageFormat{97, 63, 8, 24, 97 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_EQ(rgb.colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
    EXPECT_LE(maxDifference(packedPixels(rgb), magickRaw(rgbPng, "rgb")), 1); // libheif's RGB path: within a step

    const auto png = photoCrop(dir, "alpha",
                               "\\( -size 63x97 gradient:white-black -rotate 90 \\) -alpha off "
                               "-compose CopyOpacity -composite");
    const auto image = ok(decodeFile(heifEnc(dir, png, "alpha", lossless)));
    EXPECT_EQ(image.format(), (ImageFormat{97, 63, 8, 32, 97 * 4, BitmapInfo::make(AlphaInfo::last)}));
    const auto expected = magickRaw(png, "rgba");
    ASSERT_EQ(image.bytes().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) // alpha exact, colour within a step
        ASSERT_LE(std::abs(int(image.bytes()[i]) - int(expected[i])), i % 4 == 3 ? 0 : 1) << i;

    // A flat colour stored premultiplied: (100, 50, 20) at alpha 128 is (200, 100, 40) straight.
    std::vector<uint8_t> stored, straight;
    for (int i = 0; i < 32 * 16; ++i) {
        stored.insert(stored.end(), {100, 50, 20, 128});
        straight.insert(straight.end(), {200, 100, 40, 128});
    }
    writeFileBytes(dir / "flat.rgba", stored);
    make("convert -size 32x16 -depth 8 rgba:" + q(dir / "flat.rgba") + " PNG32:" + q(dir / "flat.png"));
    const auto premultiplied = ok(decodeFile(heifEnc(dir, dir / "flat.png", "flat", "-q 95 --premultiplied-alpha")));
    EXPECT_EQ(premultiplied.alphaInfo(), uint32_t(AlphaInfo::last));
    EXPECT_LE(maxDifference(packedPixels(premultiplied), straight), 4);
}

TEST(HeifDecoder, AppliesTheContainerRotationOnce)
{
    TemporaryDirectory dir;
    writeRotatedHalves(dir / "rotated.heic"); // the quarter turn puts red on top
    const auto properties = ok(propertiesOf(dir / "rotated.heic"));
    EXPECT_EQ(properties.pixelWidth, 32u);
    EXPECT_EQ(properties.pixelHeight, 64u);
    EXPECT_EQ(properties.orientation, 1);
    const auto image = ok(decodeFile(dir / "rotated.heic"));
    ASSERT_EQ(image.width(), 32u);
    ASSERT_EQ(image.height(), 64u);
    for (size_t y : {2u, 20u, 44u, 61u})
        for (size_t x : {1u, 16u, 30u}) {
            const auto pixel = image.bytes().subspan(y * image.bytesPerRow() + x * 3, 3);
            EXPECT_NEAR(pixel[0], y < 32 ? 220 : 20, 12) << x << "," << y;
            EXPECT_NEAR(pixel[2], y < 32 ? 20 : 220, 12) << x << "," << y;
        }
}
