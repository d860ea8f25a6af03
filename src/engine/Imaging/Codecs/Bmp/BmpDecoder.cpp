#include "engine/Imaging/Codecs/Bmp/BmpDecoder.h"

#include "engine/Imaging/Codecs/Bmp/BmpHeader.h"
#include "engine/Imaging/Codecs/Bmp/BmpIndexedPixels.h"
#include "engine/Imaging/ImageLimits.h"

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <stb/stb_image.h>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

struct StbFree {
    void operator()(stbi_uc* pixels) const { stbi_image_free(pixels); }
};
using StbPixels = std::unique_ptr<stbi_uc, StbFree>;

ImageSourceError outOfMemory()
{
    return {Kind::outOfMemory, "There is not enough memory to decode this BMP image."};
}

ColorSpace colorSpaceFor(const BmpHeader& header, std::span<const uint8_t> file)
{
    if (header.profileSize > 0) {
        const auto* profile = file.data() + header.profileOffset;
        auto fromProfile = ColorSpace::fromICCProfile({profile, profile + header.profileSize});
        if (fromProfile.model() == ColorSpace::Model::rgb)
            return fromProfile;
    }
    return ColorSpace::named(ColorSpace::Name::sRGB);
}

Image makeImage(size_t width, size_t height, size_t components, PixelBlock block, ColorSpace colorSpace)
{
    const auto alpha = components == 4 ? AlphaInfo::last : AlphaInfo::none;
    const ImageFormat format{width, height, 8, 8 * components, width * components, BitmapInfo::make(alpha)};
    return Image(format, std::move(colorSpace), DataProvider::make(std::move(block)));
}

// stb_image insists that the pixels follow the headers directly, and misreads the colour masks
// of the 56-byte header. Such files are handed to it re-laid out: the file header, a 40-byte
// info header (its masks sit where the 56-byte header keeps them) or the original V4/V5 one,
// then the pixel rows. Empty when the file is fine as it is.
std::vector<uint8_t> layoutForStb(const BmpHeader& header, std::span<const uint8_t> file, size_t pixelBytes)
{
    const bool threeMasks = header.compression == BmpCompression::bitFields;
    const size_t infoSize = header.infoHeaderSize == 56 ? 40 : header.infoHeaderSize;
    const size_t headersEnd = BmpHeader::fileHeaderSize + infoSize + (threeMasks && infoSize == 40 ? 12 : 0);
    if (header.infoHeaderSize != 56 && header.pixelOffset == headersEnd)
        return {};
    std::vector<uint8_t> copy(headersEnd + pixelBytes);
    std::memcpy(copy.data(), file.data(), headersEnd);
    std::memcpy(copy.data() + headersEnd, file.data() + header.pixelOffset, pixelBytes);
    auto putU32 = [&copy](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            copy[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    putU32(10, static_cast<uint32_t>(headersEnd));
    putU32(BmpHeader::fileHeaderSize, static_cast<uint32_t>(infoSize));
    return copy;
}

// Writers that declare an alpha mask but leave every alpha at zero mean an opaque image, not an
// invisible one; the stored pixels are asked, since stb_image treats that case unevenly.
// Call only once the pixel data is known to be all there.
bool hasStoredAlpha(const BmpHeader& header, std::span<const uint8_t> file)
{
    if (header.alphaMask == 0)
        return false;
    const size_t bytesPerPixel = header.bitsPerPixel / 8;
    const size_t rowBytes = header.storedRowBytes();
    for (size_t r = 0; r < header.height; ++r) {
        const uint8_t* p = file.data() + header.pixelOffset + r * rowBytes;
        for (size_t x = 0; x < header.width; ++x, p += bytesPerPixel) {
            uint32_t v = p[0] | (uint32_t{p[1]} << 8);
            if (bytesPerPixel == 4)
                v |= (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
            if (v & header.alphaMask)
                return true;
        }
    }
    return false;
}

Result<Image, ImageSourceError> decodeDirectColour(const BmpHeader& header, std::span<const uint8_t> file,
                                                   ColorSpace colorSpace)
{
    const size_t width = header.width, height = header.height;
    const size_t rowBytes = header.storedRowBytes();
    // stb pads missing pixel data with zeros instead of failing, so the length is checked first.
    if ((file.size() - header.pixelOffset) / rowBytes < height)
        return unexpected(ImageSourceError{Kind::corruptData, "The BMP file is truncated: its pixel data ends early."});

    const std::vector<uint8_t> relaid = layoutForStb(header, file, rowBytes * height);
    const std::span<const uint8_t> input = relaid.empty() ? file : std::span<const uint8_t>(relaid);
    if (input.size() > static_cast<size_t>(INT_MAX))
        return unexpected(ImageSourceError{Kind::tooLarge, "The BMP file is too large to decode."});

    const int requested = hasStoredAlpha(header, file) ? 4 : 3;
    int w = 0, h = 0, stored = 0;
    StbPixels pixels(stbi_load_from_memory(input.data(), static_cast<int>(input.size()), &w, &h, &stored, requested));
    if (!pixels) {
        const char* reason = stbi_failure_reason();
        return unexpected(ImageSourceError{Kind::corruptData,
                                           std::string("The BMP file could not be decoded (")
                                               + (reason ? reason : "unknown reason") + ")."});
    }
    if (static_cast<size_t>(w) != width || static_cast<size_t>(h) != height)
        return unexpected(ImageSourceError{Kind::corruptData, "The BMP decoder produced an unexpected size."});

    const size_t pixelCount = width * height;
    const stbi_uc* src = pixels.get();
    const size_t components = static_cast<size_t>(requested);
    auto block = PixelBlock::allocate(pixelCount * components);
    if (block.empty())
        return unexpected(outOfMemory());
    std::memcpy(block.data(), src, pixelCount * components);
    return makeImage(width, height, components, std::move(block), std::move(colorSpace));
}
} // namespace

BmpDecoder::BmpDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

Result<ImageProperties, ImageSourceError> BmpDecoder::properties()
{
    const auto header = readBmpHeader(*bytes_);
    if (!header)
        return unexpected(header.error());
    ImageProperties properties;
    properties.pixelWidth = header->width;
    properties.pixelHeight = header->height;
    properties.dpiWidth = header->dpiX;
    properties.dpiHeight = header->dpiY;
    return properties;
}

Result<Image, ImageSourceError> BmpDecoder::decode()
{
    try {
        return decodeImage();
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> BmpDecoder::decodeImage()
{
    const std::span<const uint8_t> file(*bytes_);
    const auto header = readBmpHeader(file);
    if (!header)
        return unexpected(header.error());
    if (auto refusal = checkImageDimensions(header->width, header->height))
        return unexpected(*refusal);
    auto colorSpace = colorSpaceFor(*header, file);
    if (!header->isIndexed())
        return decodeDirectColour(*header, file, std::move(colorSpace));

    auto block = PixelBlock::allocate(header->width * header->height * 3);
    if (block.empty())
        return unexpected(outOfMemory());
    if (auto decoded = decodeIndexedBmp(*header, file, block.span()); !decoded)
        return unexpected(decoded.error());
    return makeImage(header->width, header->height, 3, std::move(block), std::move(colorSpace));
}

std::unique_ptr<ImageDecoder> makeBmpDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<BmpDecoder>(std::move(bytes));
}

} // namespace pelorin
