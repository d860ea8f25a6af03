// HEIF decoding: lossless and deep files from heif-enc against ImageMagick and heif-convert,
// alpha, EXIF, container rotation, and damaged or forged files. (The embedded profile is checked
// byte for byte through CutoutFidelity.)
#include "DecoderTestSupport.h"
#include "engine/Imaging/Codecs/Heif/HeifDecoder.h"

#include <libheif/heif.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

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

// Encodes an 8-bit RGB(A) picture through libheif's own API, for what heif-enc cannot write: a
// container rotation, premultiplied alpha, an EXIF block of our choosing.
struct EncodeRequest {
    int width = 0, height = 0;
    bool alpha = false;
    std::vector<uint8_t> pixels; // interleaved, tightly packed
    heif_orientation orientation = heif_orientation_normal;
    bool premultiplied = false;
    std::vector<uint8_t> exif; // passed to heif_context_add_exif_metadata as is
};

std::vector<uint8_t> encodeWithLibheif(const EncodeRequest& request)
{
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    heif_encoder* rawEncoder = nullptr;
    EXPECT_EQ(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder).code, heif_error_Ok);
    std::unique_ptr<heif_encoder, decltype(&heif_encoder_release)> encoder(rawEncoder, heif_encoder_release);
    if (!encoder)
        return {};
    heif_encoder_set_lossy_quality(encoder.get(), 100);

    heif_image* rawImage = nullptr;
    heif_image_create(request.width, request.height, heif_colorspace_RGB,
                      request.alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &rawImage);
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    heif_image_add_plane(image.get(), heif_channel_interleaved, request.width, request.height, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(request.width) * (request.alpha ? 4 : 3);
    for (int y = 0; y < request.height; ++y)
        std::memcpy(plane + size_t(y) * size_t(stride), request.pixels.data() + size_t(y) * rowBytes, rowBytes);
    heif_image_set_premultiplied_alpha(image.get(), request.premultiplied);

    std::unique_ptr<heif_encoding_options, decltype(&heif_encoding_options_free)> options(heif_encoding_options_alloc(),
                                                                                          heif_encoding_options_free);
    options->image_orientation = request.orientation;
    heif_image_handle* rawHandle = nullptr;
    EXPECT_EQ(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), &rawHandle).code,
              heif_error_Ok);
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(rawHandle, heif_image_handle_release);
    if (!request.exif.empty()) {
        EXPECT_EQ(heif_context_add_exif_metadata(context.get(), handle.get(), request.exif.data(), int(request.exif.size())).code,
                  heif_error_Ok);
    }

    std::vector<uint8_t> file;
    heif_writer writer{1, [](heif_context*, const void* data, size_t size, void* out) {
                           auto* bytes = static_cast<const uint8_t*>(data);
                           static_cast<std::vector<uint8_t>*>(out)->insert(static_cast<std::vector<uint8_t>*>(out)->end(),
                                                                           bytes, bytes + size);
                           return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
                       }};
    EXPECT_EQ(heif_context_write(context.get(), &writer, &file).code, heif_error_Ok);
    return file;
}

} // namespace

TEST(HeifDecoder, EightBitLosslessMatchesTheSourcePhotoWhateverTheRowPadding)
{
    TemporaryDirectory dir;
    const auto png = photoCrop(dir, "crop");
    const auto decoded = decodeHeif(heifEnc(dir, png, "crop", lossless));

    EXPECT_EQ(decoded.properties.pixelWidth, 97u);
    EXPECT_EQ(decoded.properties.pixelHeight, 63u);
    EXPECT_EQ(decoded.properties.orientation, 1);
    EXPECT_FALSE(decoded.properties.exif);
    EXPECT_FALSE(decoded.properties.dpiWidth);

    const Image& image = decoded.image;
    EXPECT_EQ(image.format(), (ImageFormat{97, 63, 8, 24, 97 * 3, BitmapInfo::make(AlphaInfo::none)}));
    EXPECT_EQ(image.colorSpace(), ColorSpace::named(ColorSpace::Name::sRGB));
    EXPECT_LE(maxDifference(packedPixels(image), magickSamples(png, "rgb")), 1); // libheif's RGB path: within a step
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
        const auto converted = dir / "converted.png";
        make("heif-convert " + q(heic) + " " + q(converted));
        const auto reference = magickRaw(converted, "rgb", 16);
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
    const auto expected = magickSamples(png, "rgba");
    ASSERT_EQ(image.bytes().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) // alpha exact, colour within a step
        ASSERT_LE(std::abs(int(image.bytes()[i]) - int(expected[i])), i % 4 == 3 ? 0 : 1) << i;

    // A flat colour stored premultiplied: (200, 100, 40) at alpha 128 is stored as (100, 50, 20).
    EncodeRequest request;
    request.width = 32;
    request.height = 16;
    request.alpha = true;
    for (int i = 0; i < 32 * 16; ++i)
        request.pixels.insert(request.pixels.end(), {100, 50, 20, 128});
    request.premultiplied = true;
    auto decoder = makeHeifDecoder(shared(encodeWithLibheif(request)));
    auto premultiplied = decoder->decode();
    ASSERT_TRUE(premultiplied) << premultiplied.error().message;
    EXPECT_EQ(premultiplied->alphaInfo(), uint32_t(AlphaInfo::last));
    const auto bytes = premultiplied->bytes();
    for (size_t p = 0; p < 32 * 16; p += 37) {
        EXPECT_NEAR(bytes[4 * p + 0], 200, 4) << p;
        EXPECT_NEAR(bytes[4 * p + 1], 100, 4) << p;
        EXPECT_NEAR(bytes[4 * p + 2], 40, 4) << p;
        EXPECT_NEAR(bytes[4 * p + 3], 128, 1) << p;
    }
}

TEST(HeifDecoder, CarriesExifButNeverItsOrientation)
{
    TemporaryDirectory dir;
    const auto jpeg = convertPhoto("rocket.jpg", "-resize 120x80!", dir / "tagged.jpg");
    make("exiftool -q -overwrite_original -n -Orientation=6 -DateTimeOriginal='2021:06:15 10:20:30' "
            "-ExposureTime=0.004 -Make=X -Model=Y -GPSLatitude=48.85 -GPSLatitudeRef=N "
            "-XResolution=300 -YResolution=300 -ResolutionUnit=2 " + q(jpeg));
    const auto expected = magickSamples(jpeg, "rgb");

    // HEVC, and AV1 in the same container (libheif reads both).
    for (const std::string options : {"-q 90", "-A -q 80"}) {
        SCOPED_TRACE(options);
        const auto heic = heifEnc(dir, jpeg, "tagged", options);
        ASSERT_EQ(exiftoolTag(heic, "Orientation"), "6") << "heif-enc should have copied the EXIF block";

        const auto decoded = decodeHeif(heic);
        EXPECT_EQ(decoded.properties.orientation, 1);
        EXPECT_EQ(decoded.properties.pixelWidth, 120u); // heif-enc writes no container rotation
        EXPECT_EQ(decoded.properties.pixelHeight, 80u);
        EXPECT_EQ(decoded.image.width(), 120u);
        EXPECT_EQ(decoded.properties.dpiWidth, 300.0);
        ASSERT_TRUE(decoded.properties.exif);
        const auto& exif = *decoded.properties.exif;
        ASSERT_TRUE(exif.count("DateTimeOriginal"));
        EXPECT_EQ(std::string(exif.at("DateTimeOriginal").bytes.begin(), exif.at("DateTimeOriginal").bytes.end()),
                  std::string("2021:06:15 10:20:30\0", 20));
        EXPECT_TRUE(exif.count("ExposureTime"));
        for (const char* absent : {"Make", "Model", "Orientation", "GPSLatitude"})
            EXPECT_FALSE(exif.count(absent)) << absent;

        // Lossy, so only close to what ImageMagick decodes from the JPEG.
        ASSERT_EQ(decoded.image.bytes().size(), expected.size());
        double total = 0;
        for (size_t i = 0; i < expected.size(); ++i)
            total += std::abs(int(decoded.image.bytes()[i]) - int(expected[i]));
        EXPECT_LT(total / double(expected.size()), 4.0);
    }
}

TEST(HeifDecoder, AppliesTheContainerRotationOnce)
{
    TemporaryDirectory dir;
    // Left half red, right half blue; a quarter turn clockwise puts red on top.
    EncodeRequest request;
    request.width = 64;
    request.height = 32;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 64; ++x)
            request.pixels.insert(request.pixels.end(), {uint8_t(x < 32 ? 220 : 20), 20, uint8_t(x < 32 ? 20 : 220)});
    request.orientation = heif_orientation_rotate_90_cw;
    const auto exifFile = dir / "rotated.exif";
    make("exiftool -q -n -o " + q(exifFile) +
            " -Orientation=6 -XResolution=300 -YResolution=300 -ResolutionUnit=2 -DateTimeOriginal='2020:01:02 03:04:05'");
    request.exif = {'E', 'x', 'i', 'f', 0, 0}; // libheif records the offset past this prefix
    const auto tiff = readFileBytes(exifFile);
    request.exif.insert(request.exif.end(), tiff.begin(), tiff.end());

    const auto file = dir / "rotated.heic";
    writeFileBytes(file, encodeWithLibheif(request));
    const auto decoded = decodeHeif(file);
    EXPECT_EQ(decoded.properties.pixelWidth, 32u);
    EXPECT_EQ(decoded.properties.pixelHeight, 64u);
    EXPECT_EQ(decoded.properties.orientation, 1);
    EXPECT_EQ(decoded.properties.dpiWidth, 300.0);
    ASSERT_TRUE(decoded.properties.exif);
    EXPECT_TRUE(decoded.properties.exif->count("DateTimeOriginal"));

    const Image& image = decoded.image;
    ASSERT_EQ(image.width(), 32u);
    ASSERT_EQ(image.height(), 64u);
    auto pixel = [&](size_t x, size_t y) { return image.bytes().subspan(y * image.bytesPerRow() + x * 3, 3); };
    for (size_t y : {2u, 20u, 44u, 61u})
        for (size_t x : {1u, 16u, 30u}) {
            const bool top = y < 32;
            EXPECT_NEAR(pixel(x, y)[0], top ? 220 : 20, 12) << x << "," << y;
            EXPECT_NEAR(pixel(x, y)[2], top ? 20 : 220, 12) << x << "," << y;
        }
}

TEST(HeifDecoder, DamagedFilesGiveCleanErrors)
{
    TemporaryDirectory dir;
    const auto whole = readFileBytes(heifEnc(dir, photoCrop(dir, "victim"), "victim", "-q 70"));

    for (size_t size : {size_t(12), size_t(40), size_t(300), whole.size() / 2, whole.size() - 1}) {
        SCOPED_TRACE(size);
        auto decoder = makeHeifDecoder(shared({whole.begin(), whole.begin() + ptrdiff_t(size)}));
        const auto properties = decoder->properties();
        const auto image = decoder->decode();
        expectError(image, ImageSourceError::Kind::corruptData, "libheif");
        if (!properties && !image)
            EXPECT_EQ(properties.error().message, image.error().message);
    }

    // A valid header followed by noise: recognised as HEIF, then refused.
    auto garbage = std::vector<uint8_t>(whole.begin(), whole.begin() + 32);
    const auto noise = randomBytes(4000, 5);
    garbage.insert(garbage.end(), noise.begin(), noise.end());
    auto source = ImageSource::open(shared(garbage));
    ASSERT_TRUE(source);
    EXPECT_EQ((*source)->type(), ImageFileType::heif);
    EXPECT_FALSE((*source)->properties());
    EXPECT_FALSE((*source)->createImage());

    // Random damage anywhere: an error or a complete, consistent image, never a crash.
    std::mt19937 random(3);
    for (int round = 0; round < 150; ++round) {
        auto damaged = whole;
        for (int n = 1 + round % 4; n > 0; --n)
            damaged[random() % damaged.size()] = uint8_t(random());
        auto decoder = makeHeifDecoder(shared(damaged));
        (void)decoder->properties();
        if (const auto image = decoder->decode()) {
            EXPECT_EQ(image->bytes().size(), image->bytesPerRow() * image->height());
        }
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
