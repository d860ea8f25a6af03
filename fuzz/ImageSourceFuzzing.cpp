#include "ImageSourceFuzzing.h"

#include "engine/Imaging/ImageSource.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace pelorin::fuzz {

namespace {

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant violated: %s\n", what);
    std::abort();
}

// Every byte the image claims must lie inside its block; reading them all lets ASan see any lie
// that the arithmetic check misses.
void checkImage(const Image& image)
{
    if (image.width() == 0 || image.height() == 0)
        fail("decoded image has no pixels");
    if (!image.dataProvider())
        fail("decoded image has no data provider");
    if (image.bitsPerComponent() == 0 || image.bitsPerPixel() % 8 != 0
        || image.bitsPerPixel() < image.bitsPerComponent())
        fail("decoded image has an impossible pixel layout");
    const size_t pixelBytes = image.bitsPerPixel() / 8;
    if (image.width() > image.bytesPerRow() / pixelBytes)
        fail("decoded row is wider than bytesPerRow");
    const auto bytes = image.bytes();
    if (image.height() > bytes.size() / image.bytesPerRow())
        fail("decoded rows run past the pixel block");
    unsigned sum = 0;
    for (const uint8_t byte : bytes)
        sum += byte;
    volatile unsigned sink = sum;
    (void)sink;
}

void checkProperties(const ImageProperties& properties)
{
    if (!properties.pixelWidth || !properties.pixelHeight)
        fail("properties without a pixel size");
    if (properties.orientation && (*properties.orientation < 1 || *properties.orientation > 8))
        fail("orientation outside 1...8");
}

void checkAgreement(const ImageProperties& properties, const Image& image)
{
    if (*properties.pixelWidth != image.width() || *properties.pixelHeight != image.height())
        fail("properties and decoded image disagree on the size");
}

// Files may claim up to the engine's 256 MP limit in a few bytes, and decoding one then takes a
// second or more, which would starve the search. The paths that reach such sizes are the same as
// for small images, so the fuzzer skips decoding above this many pixels.
constexpr size_t maxFuzzedPixelCount = size_t{1} << 18;

bool claimsTooManyPixels(const FileBytes& bytes)
{
    auto probe = ImageSource::open(bytes);
    if (!probe)
        return false;
    const auto properties = (*probe)->properties();
    return properties && *properties->pixelWidth > maxFuzzedPixelCount / std::max<size_t>(*properties->pixelHeight, 1);
}

} // namespace

int decodeThroughImageSource(const uint8_t* data, size_t size, std::optional<ImageFileType> only)
{
    if (only) {
        const auto type = detectImageFileType({data, size});
        if (type != only)
            return -1;
    }
    const FileBytes bytes = std::make_shared<const std::vector<uint8_t>>(data, data + size);
    if (claimsTooManyPixels(bytes))
        return 0;
    auto source = ImageSource::open(bytes);
    if (!source)
        return 0;

    // Decoders keep state between the two calls; an odd length decodes before asking properties.
    const bool decodeFirst = size % 2 == 1;
    std::optional<Image> image;
    std::optional<ImageProperties> properties;
    if (decodeFirst) {
        if (auto decoded = (*source)->createImage())
            image = std::move(*decoded);
    }
    if (auto read = (*source)->properties())
        properties = std::move(*read);
    if (!decodeFirst) {
        if (auto decoded = (*source)->createImage())
            image = std::move(*decoded);
    }

    if (properties)
        checkProperties(*properties);
    if (image)
        checkImage(*image);
    if (properties && image)
        checkAgreement(*properties, *image);
    return 0;
}

} // namespace pelorin::fuzz
