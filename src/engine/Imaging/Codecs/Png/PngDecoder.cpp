#include "engine/Imaging/Codecs/Png/PngDecoder.h"

#include "engine/Common/Units.h"
#include "engine/Imaging/Codecs/Png/PngChunks.h"
#include "engine/Imaging/Codecs/Png/PngRawProfile.h"
#include "engine/Imaging/Codecs/Png/PngReadHandle.h"
#include "engine/Imaging/ImageLimits.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string_view>
#include <vector>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;
using png::PngReadHandle;

constexpr png_fixed_point linearGamma = 100000; // gAMA's unit is 1/100000
constexpr png_fixed_point linearGammaTolerance = 1000;

ImageSourceError libraryError(const PngReadHandle& reader)
{
    const std::string text = reader.error().text();
    if (text.find("memory") != std::string::npos)
        return {Kind::outOfMemory, "Not enough memory to decode the PNG image (" + text + ")."};
    return {Kind::corruptData, "The PNG data is truncated or corrupt (" + text + ")."};
}

ImageSourceError outOfMemory()
{
    return {Kind::outOfMemory, "Not enough memory to decode the PNG image."};
}

std::optional<ExifBlock> readExif(const PngReadHandle& reader, std::span<const uint8_t> file)
{
    png_uint_32 size = 0;
    png_bytep data = nullptr;
    if (png_get_eXIf_1(reader.png(), reader.info(), &size, &data) != 0 && data && size > 0)
        if (auto block = parseExifBlock({data, size}))
            return block;
    // libpng reads only the chunks before the image data, and drops an eXIf that starts with
    // the "Exif\0\0" prefix; both occur in the wild.
    if (auto chunk = png::findPngChunk(file, "eXIf"))
        if (auto block = parseExifBlock(*chunk))
            return block;
    png_textp texts = nullptr;
    const int textCount = png_get_text(reader.png(), reader.info(), &texts, nullptr);
    for (int i = 0; i < textCount; ++i) {
        const std::string_view key(texts[i].key ? texts[i].key : "");
        if (key != "Raw profile type exif" && key != "Raw profile type APP1")
            continue;
        const std::string_view text(texts[i].text ? texts[i].text : "", texts[i].text_length);
        if (auto bytes = png::decodeRawProfileText(text))
            if (auto block = parseExifBlock(*bytes))
                return block;
    }
    return std::nullopt;
}

ColorSpace readColorSpace(const PngReadHandle& reader, bool gray)
{
    png_charp name = nullptr;
    int compression = 0;
    png_bytep profile = nullptr;
    png_uint_32 profileSize = 0;
    if (png_get_iCCP(reader.png(), reader.info(), &name, &compression, &profile, &profileSize) != 0 && profile
        && profileSize > 0)
        return ColorSpace::fromICCProfile(std::vector<uint8_t>(profile, profile + profileSize));
    if (gray) {
        png_fixed_point gamma = 0;
        if (!png_get_valid(reader.png(), reader.info(), PNG_INFO_sRGB)
            && png_get_gAMA_fixed(reader.png(), reader.info(), &gamma) != 0
            && std::abs(gamma - linearGamma) <= linearGammaTolerance)
            return ColorSpace::named(ColorSpace::Name::linearGray);
        // No named grey counterpart of sRGB exists; an sRGB chunk on grey says no more than this.
        return ColorSpace::named(ColorSpace::Name::deviceGray);
    }
    return ColorSpace::named(ColorSpace::Name::sRGB);
}

Result<ImageProperties, ImageSourceError> readProperties(std::span<const uint8_t> file)
{
    PngReadHandle reader(file);
    if (!reader.valid())
        return unexpected(outOfMemory());
    if (!reader.readInfo())
        return unexpected(libraryError(reader));

    ImageProperties properties;
    properties.pixelWidth = png_get_image_width(reader.png(), reader.info());
    properties.pixelHeight = png_get_image_height(reader.png(), reader.info());
    png_uint_32 xPerUnit = 0, yPerUnit = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    if (png_get_pHYs(reader.png(), reader.info(), &xPerUnit, &yPerUnit, &unit) != 0 && unit == PNG_RESOLUTION_METER
        && xPerUnit > 0 && yPerUnit > 0) {
        properties.dpiWidth = xPerUnit * metresPerInch;
        properties.dpiHeight = yPerUnit * metresPerInch;
    }
    if (auto exif = readExif(reader, file)) {
        if (!exif->exif.empty())
            properties.exif = std::move(exif->exif);
        properties.orientation = exif->orientation;
    }
    return properties;
}

Result<Image, ImageSourceError> readImage(std::span<const uint8_t> file)
{
    PngReadHandle reader(file);
    if (!reader.valid())
        return unexpected(outOfMemory());
    if (!reader.readInfo())
        return unexpected(libraryError(reader));

    const size_t width = png_get_image_width(reader.png(), reader.info());
    const size_t height = png_get_image_height(reader.png(), reader.info());
    if (auto refused = checkImageDimensions(width, height))
        return unexpected(*refused);

    constexpr bool hostLittleEndian = std::endian::native == std::endian::little;
    if (!reader.prepareOutput(hostLittleEndian))
        return unexpected(libraryError(reader));
    const size_t channels = png_get_channels(reader.png(), reader.info());
    const size_t depth = png_get_bit_depth(reader.png(), reader.info());
    const size_t rowBytes = png_get_rowbytes(reader.png(), reader.info());
    if (channels < 1 || channels > 4 || (depth != 8 && depth != 16) || rowBytes != width * channels * depth / 8)
        return unexpected(ImageSourceError{Kind::unsupported, "This PNG layout cannot be decoded."});

    auto block = PixelBlock::allocate(rowBytes * height);
    if (block.empty())
        return unexpected(outOfMemory());
    std::vector<png_bytep> rows;
    try {
        rows.resize(height);
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
    for (size_t y = 0; y < height; ++y)
        rows[y] = block.data() + y * rowBytes;
    if (!reader.readImage(rows.data()))
        return unexpected(libraryError(reader));

    const bool gray = channels <= 2;
    const bool alpha = channels == 2 || channels == 4;
    uint32_t bitmapInfo = BitmapInfo::make(alpha ? AlphaInfo::last : AlphaInfo::none);
    if (depth == 16)
        bitmapInfo |= hostLittleEndian ? BitmapInfo::byteOrder16Little : BitmapInfo::byteOrder16Big;
    const ImageFormat format{width, height, depth, depth * channels, rowBytes, bitmapInfo};
    return Image(format, readColorSpace(reader, gray), DataProvider::make(std::move(block)));
}

ImageSourceError noData()
{
    return {Kind::emptyFile, "The file is empty."};
}
} // namespace

Result<ImageProperties, ImageSourceError> PngDecoder::properties()
{
    if (!bytes_ || bytes_->empty())
        return unexpected(noData());
    try {
        return readProperties(*bytes_);
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> PngDecoder::decode()
{
    if (!bytes_ || bytes_->empty())
        return unexpected(noData());
    try {
        return readImage(*bytes_);
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

std::unique_ptr<ImageDecoder> makePngDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<PngDecoder>(std::move(bytes));
}

} // namespace pelorin
