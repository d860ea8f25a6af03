// HEIF decoding: lossless, deep and AV1 files from heif-enc against ImageMagick and heif-convert,
// alpha, container rotation beside EXIF, and forged sizes. (The embedded profile, EXIF and cuts
// are checked through CutoutFidelity and DamagedFile.)
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/Heif/HeifDecoder.h"

#include <libheif/heif.h>

#include <gtest/gtest.h>

#include <algorithm>
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

FileBytes shared(std::vector<uint8_t> bytes)
{
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

// A crop of a real photograph as PNG; odd sizes make libheif pad its rows.
std::filesystem::path photoCrop(const TemporaryDirectory& dir, const std::string& name, const std::string& extra = "",
                                const std::string& geometry = "97x63")
{
    return convertPhoto("astronaut.png", "-crop " + geometry + "+200+100 +repage -strip " + extra, dir / (name + ".png"));
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

struct Decoded {
    ImageProperties properties;
    Image image;
};

Decoded decodeHeif(const std::filesystem::path& file)
{
    auto decoder = makeHeifDecoder(shared(readFileBytes(file)));
    auto properties = decoder->properties();
    auto image = decoder->decode();
    if (!properties || !image) {
        ADD_FAILURE() << file << ": " << (properties ? image.error().message : properties.error().message);
        throw std::runtime_error("decoding failed");
    }
    return {std::move(*properties), std::move(*image)};
}

// A quarter turn in the container (which heif-enc cannot write) beside an EXIF block, through
// libheif's own API.
std::vector<uint8_t> encodeRotated(const std::vector<uint8_t>& rgb, int width, int height, const std::vector<uint8_t>& exif)
{
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code, heif_error_Ok);
    if (!rawEncoder)
        return {};
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder, heif_encoder_release);
    heif_encoder_set_lossy_quality(encoder.get(), 100);
    heif_image* rawImage = nullptr;
    heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &rawImage);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    for (int y = 0; y < height; ++y)
        std::memcpy(plane + size_t(y) * size_t(stride), rgb.data() + size_t(y) * size_t(width) * 3, size_t(width) * 3);

    std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(heif_encoding_options_alloc(),
                                                                                          heif_encoding_options_free);
    options->image_orientation = heif_orientation_rotate_90_cw;
    heif_image_handle* handle = nullptr;
    EXPECT_EQ(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), &handle).code, heif_error_Ok);
    EXPECT_EQ(heif_context_add_exif_metadata(context.get(), handle, exif.data(), int(exif.size())).code, heif_error_Ok);
    heif_image_handle_release(handle);
    std::vector<uint8_t> file;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* out) {
                           auto* into = static_cast<std::vector<uint8_t>*>(out);
                           into->insert(into->end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    EXPECT_EQ(heif_context_write(context.get(), &writer, &file).code, heif_error_Ok);
    return file;
}

double meanDifference(std::span<const uint8_t> a, const std::vector<uint8_t>& b)
{
    EXPECT_EQ(a.size(), b.size());
    double total = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        total += std::abs(int(a[i]) - int(b[i]));
    return total / double(b.size());
}

} // namespace

TEST(HeifDecoder, EightBitLosslessMatchesTheSourcePhotoWhateverTheRowPadding)
{
    TemporaryDirectory dir;
    const auto png = photoCrop(dir, "crop");
    const auto decoded = decodeHeif(heifEnc(dir, png, "crop", lossless));
    EXPECT_EQ(decoded.properties.pixelWidth, 97u);
    EXPECT_EQ(decoded.image.format(), (ImageFormat{97, 63, 8, 24, 97 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_EQ(decoded.image.colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
    EXPECT_LE(maxDifference(packedPixels(decoded.image), magickRaw(png, "rgb")), 1); // libheif's RGB path: within a step
}

// EXIF, its orientation and resolution through HEVC files are checked through CutoutFidelity;
// libheif reads AV1 in the same container, lossy, so only close to the source.
TEST(HeifDecoder, Av1DecodesLikeTheSource)
{
    TemporaryDirectory dir;
    const auto png = photoCrop(dir, "av1");
    const auto decoded = decodeHeif(heifEnc(dir, png, "av1", "-A -q 80"));
    EXPECT_EQ(decoded.image.format(), (ImageFormat{97, 63, 8, 24, 97 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_LT(meanDifference(decoded.image.bytes(), magickRaw(png, "rgb")), 4.0);
}

TEST(HeifDecoder, DeepSamplesAreWidenedToTheFullSixteenBitRange)
{
    TemporaryDirectory dir;
    const auto png16 = photoCrop(dir, "deep", "-depth 16");
    make("convert " + q(png16) + " -depth 16 PNG48:" + q(png16));
    const auto source = magickRaw(png16, "rgb", 16);
    for (int bits : {10, 12}) {
        SCOPED_TRACE(bits);
        const auto heic = heifEnc(dir, png16, "deep" + std::to_string(bits), "-b " + std::to_string(bits) + " " + lossless);
        const auto image = decodeHeif(heic).image;
        EXPECT_EQ(image.format(), (ImageFormat{97, 63, 16, 48, 97 * 6,
                                               BitmapInfo::make(AlphaInfo::none, BitmapInfo::byteOrder16Little)}));
        ASSERT_EQ(image.bytes().size(), source.size());
        // heif-convert writes the same decode as v << (16 - bits): our top bits must equal its.
        make("heif-convert " + q(heic) + " " + q(dir / "converted.png"));
        const auto reference = magickRaw(dir / "converted.png", "rgb", 16);
        ASSERT_EQ(reference.size(), source.size());
        const int spare = 16 - bits;
        int worstAgainstSource = 0;
        for (size_t i = 0; i < source.size() / 2; ++i) {
            const uint16_t v = sample16(image.bytes(), i);
            ASSERT_EQ(v >> spare, sample16(reference, i) >> spare) << i;
            ASSERT_EQ(v & ((1 << spare) - 1), v >> (16 - spare)) << "low bits repeat the top bits at " << i;
            worstAgainstSource = std::max(worstAgainstSource, std::abs(int(v) - int(sample16(source, i))));
        }
        EXPECT_LE(worstAgainstSource, 2 << spare); // two coded steps
    }
}

TEST(HeifDecoder, AlphaComesOutStraightEvenWhenTheFileIsPremultiplied)
{
    TemporaryDirectory dir;
    const auto png = photoCrop(dir, "alpha", "\\( -size 63x97 gradient:white-black -rotate 90 \\) -alpha off "
                                             "-compose CopyOpacity -composite");
    const auto image = decodeHeif(heifEnc(dir, png, "alpha", lossless)).image;
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
    const auto premultiplied = decodeHeif(heifEnc(dir, dir / "flat.png", "flat", "-q 95 --premultiplied-alpha")).image;
    EXPECT_EQ(premultiplied.alphaInfo(), uint32_t(AlphaInfo::last));
    EXPECT_LE(maxDifference(packedPixels(premultiplied), straight), 4);
}

TEST(HeifDecoder, AppliesTheContainerRotationOnce)
{
    TemporaryDirectory dir;
    // Left half red, right half blue; a quarter turn clockwise puts red on top.
    std::vector<uint8_t> rgb;
    for (int i = 0; i < 64 * 32; ++i)
        rgb.insert(rgb.end(), {uint8_t(i % 64 < 32 ? 220 : 20), 20, uint8_t(i % 64 < 32 ? 20 : 220)});
    make("exiftool -q -n -o " + q(dir / "rotated.exif") +
         " -Orientation=6 -XResolution=300 -YResolution=300 -ResolutionUnit=2 -DateTimeOriginal='2020:01:02 03:04:05'");
    std::vector<uint8_t> exif = {'E', 'x', 'i', 'f', 0, 0}; // libheif records the offset past this prefix
    const auto tiff = readFileBytes(dir / "rotated.exif");
    exif.insert(exif.end(), tiff.begin(), tiff.end());
    writeFileBytes(dir / "rotated.heic", encodeRotated(rgb, 64, 32, exif));

    const auto decoded = decodeHeif(dir / "rotated.heic");
    EXPECT_EQ(decoded.properties.pixelWidth, 32u);
    EXPECT_EQ(decoded.properties.pixelHeight, 64u);
    EXPECT_EQ(decoded.properties.orientation, 1);
    EXPECT_EQ(decoded.properties.dpiWidth, 300.0);
    ASSERT_TRUE(decoded.properties.exif && decoded.properties.exif->count("DateTimeOriginal"));
    const Image& image = decoded.image;
    ASSERT_EQ(image.width(), 32u);
    ASSERT_EQ(image.height(), 64u);
    for (size_t y : {2u, 20u, 44u, 61u})
        for (size_t x : {1u, 16u, 30u}) {
            const auto pixel = image.bytes().subspan(y * image.bytesPerRow() + x * 3, 3);
            EXPECT_NEAR(pixel[0], y < 32 ? 220 : 20, 12) << x << "," << y;
            EXPECT_NEAR(pixel[2], y < 32 ? 20 : 220, 12) << x << "," << y;
        }
}

TEST(HeifDecoder, RefusesHugeDimensionsBeforeDecoding)
{
    TemporaryDirectory dir;
    // Even sides, so that no crop box overrides the size that 'ispe' states.
    auto bytes = readFileBytes(heifEnc(dir, photoCrop(dir, "small", "", "96x64"), "small", "-q 70"));
    // Claim 60000 × 60000 (3.6 gigapixels) there.
    const std::string ispe = "ispe";
    const auto at = std::search(bytes.begin(), bytes.end(), ispe.begin(), ispe.end());
    ASSERT_NE(at, bytes.end());
    const size_t fields = size_t(at - bytes.begin()) + 4 + 4; // after the type and version/flags
    for (size_t i : {fields, fields + 4}) {
        bytes[i] = 0;
        bytes[i + 1] = 0;
        bytes[i + 2] = 0xEA;
        bytes[i + 3] = 0x60;
    }
    auto decoder = makeHeifDecoder(shared(bytes));
    const auto properties = decoder->properties();
    ASSERT_TRUE(properties) << properties.error().message;
    EXPECT_EQ(properties->pixelWidth, 60000u);
    expectError(decoder->decode(), ImageSourceError::Kind::tooLarge);
}
