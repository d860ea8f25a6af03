#include "engine/Imaging/Codecs/Heif/HeifDecoder.h"

#include "engine/Imaging/Codecs/Heif/HeifSizeCheck.h"
#include "engine/Imaging/ExifDictionary.h"
#include "engine/Imaging/ImageLimits.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

// Metadata and profiles are copied out of the file; anything this large is not one we want.
constexpr size_t maxMetadataSize = size_t{16} << 20;

struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
using HeifImage = std::unique_ptr<heif_image, ImageRelease>;

struct DecodingOptionsFree {
    void operator()(heif_decoding_options* options) const { heif_decoding_options_free(options); }
};

// libheif registers its built-in codecs in heif_init; it is reference-counted and never undone
// here, so the codecs stay registered for the life of the process.
void initializeLibheif()
{
    static std::once_flag once;
    std::call_once(once, [] { (void)heif_init(nullptr); });
}

ImageSourceError libheifError(const heif_error& error, const std::string& what)
{
    Kind kind = Kind::corruptData;
    switch (error.code) {
    case heif_error_Memory_allocation_error:
        kind = error.subcode == heif_suberror_Security_limit_exceeded ? Kind::tooLarge : Kind::outOfMemory;
        break;
    case heif_error_Unsupported_filetype:
    case heif_error_Unsupported_feature:
    case heif_error_Plugin_loading_error: kind = Kind::unsupported; break;
    default:
        if (error.subcode == heif_suberror_Security_limit_exceeded)
            kind = Kind::tooLarge;
        break;
    }
    std::string detail = error.message ? error.message : "";
    while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ' || detail.back() == '.'))
        detail.pop_back();
    if (detail.empty())
        detail = "no details";
    return {kind, what + " (libheif: " + detail + ")."};
}

ImageSourceError outOfMemory()
{
    return {Kind::outOfMemory, "There is not enough memory to decode this HEIF image."};
}

uint32_t readBigEndian32(const uint8_t* p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// HEIF stores an EXIF item as a 4-byte big-endian offset from the end of that field to the TIFF
// header, then the data. Writers disagree on the offset (some leave "Exif\0\0" before the header
// and count it, some write 0), so a bad offset falls back to the bytes right after the field.
std::optional<ExifBlock> readExifBlock(const heif_image_handle* handle, heif_item_id id)
{
    const size_t size = heif_image_handle_get_metadata_size(handle, id);
    if (size < 4 || size > maxMetadataSize)
        return std::nullopt;
    std::vector<uint8_t> data;
    try {
        data.resize(size);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    if (heif_image_handle_get_metadata(handle, id, data.data()).code != heif_error_Ok)
        return std::nullopt;
    const std::span<const uint8_t> payload = std::span(data).subspan(4);
    const uint32_t offset = readBigEndian32(data.data());
    if (offset < payload.size())
        if (auto block = parseExifBlock(payload.subspan(offset)))
            return block;
    return offset == 0 ? std::nullopt : parseExifBlock(payload);
}

std::optional<ExifBlock> readExif(const heif_image_handle* handle)
{
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, "Exif");
    if (count <= 0)
        return std::nullopt;
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    const int listed = heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", ids.data(), count);
    for (int i = 0; i < std::min(listed, count); ++i)
        if (auto block = readExifBlock(handle, ids[static_cast<size_t>(i)]))
            return block;
    return std::nullopt;
}

// The pixels are RGB, so only an RGB profile describes them; anything else (a grey profile on a
// grey-only file that libheif expanded to RGB, a damaged profile) gives way to sRGB.
ColorSpace readColorSpace(const heif_image_handle* handle)
{
    const auto type = heif_image_handle_get_color_profile_type(handle);
    if (type == heif_color_profile_type_rICC || type == heif_color_profile_type_prof) {
        const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size > 0 && size <= maxMetadataSize) {
            std::vector<uint8_t> profile(size);
            if (heif_image_handle_get_raw_color_profile(handle, profile.data()).code == heif_error_Ok) {
                auto space = ColorSpace::fromICCProfile(std::move(profile));
                if (space.model() == ColorSpace::Model::rgb)
                    return space;
            }
        }
    }
    return ColorSpace::named(ColorSpace::Name::sRGB);
}

// libheif leaves 10- and 12-bit samples in the low bits of each 16-bit word; widen them to the
// full 16-bit range by repeating the top bits below, so that the maximum stays the maximum.
// `bits` is 9…15.
void widenSamples(uint8_t* row, size_t samples, int bits)
{
    const int up = 16 - bits;
    const int down = bits - up;
    const uint32_t mask = (uint32_t{1} << bits) - 1;
    for (size_t i = 0; i < samples; ++i) {
        uint8_t* p = row + 2 * i;
        const uint32_t v = (uint32_t(p[0]) | uint32_t(p[1]) << 8) & mask;
        const uint32_t wide = v << up | v >> down;
        p[0] = uint8_t(wide);
        p[1] = uint8_t(wide >> 8);
    }
}

// Our images carry straight alpha; a file flagged premultiplied is divided back.
void unpremultiplyRow(uint8_t* row, size_t width, bool sixteenBit)
{
    if (!sixteenBit) {
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = row + 4 * x;
            const uint32_t a = p[3];
            for (int c = 0; c < 3; ++c)
                p[c] = a == 0 ? 0 : uint8_t(std::min<uint32_t>(255, (p[c] * 255u + a / 2) / a));
        }
        return;
    }
    for (size_t x = 0; x < width; ++x) {
        uint8_t* p = row + 8 * x;
        const uint64_t a = uint64_t(p[6]) | uint64_t(p[7]) << 8;
        for (int c = 0; c < 3; ++c) {
            const uint64_t v = uint64_t(p[2 * c]) | uint64_t(p[2 * c + 1]) << 8;
            const uint64_t s = a == 0 ? 0 : std::min<uint64_t>(65535, (v * 65535 + a / 2) / a);
            p[2 * c] = uint8_t(s);
            p[2 * c + 1] = uint8_t(s >> 8);
        }
    }
}

} // namespace

void HeifDecoder::ContextFree::operator()(heif_context* context) const
{
    heif_context_free(context);
}

void HeifDecoder::HandleRelease::operator()(heif_image_handle* handle) const
{
    heif_image_handle_release(handle);
}

HeifDecoder::HeifDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

HeifDecoder::~HeifDecoder() = default;

Result<heif_image_handle*, ImageSourceError> HeifDecoder::primaryImage()
{
    if (handle_)
        return handle_.get();
    if (openError_)
        return unexpected(*openError_);

    initializeLibheif();
    context_.reset(heif_context_alloc());
    if (!context_) {
        openError_ = outOfMemory();
        return unexpected(*openError_);
    }
    // libheif refuses larger sides itself while parsing; the pixel count is checked before decoding.
    heif_context_set_maximum_image_size_limit(context_.get(), static_cast<int>(maxImageDimension + 1));
    // Tiles decode on the calling thread: jobs already run in parallel on the process's budget.
    heif_context_set_max_decoding_threads(context_.get(), 0);

    heif_error error =
        heif_context_read_from_memory_without_copy(context_.get(), bytes_->data(), bytes_->size(), nullptr);
    if (error.code != heif_error_Ok) {
        openError_ = libheifError(error, "The HEIF file could not be read");
        context_.reset();
        return unexpected(*openError_);
    }
    heif_image_handle* handle = nullptr;
    error = heif_context_get_primary_image_handle(context_.get(), &handle);
    if (error.code != heif_error_Ok || !handle) {
        openError_ = libheifError(error, "The HEIF file has no readable primary image");
        context_.reset();
        return unexpected(*openError_);
    }
    handle_.reset(handle);
    return handle;
}

Result<ImageProperties, ImageSourceError> HeifDecoder::properties()
{
    auto handle = primaryImage();
    if (!handle)
        return unexpected(handle.error());
    const int width = heif_image_handle_get_width(*handle);
    const int height = heif_image_handle_get_height(*handle);
    if (width <= 0 || height <= 0)
        return unexpected(*checkImageDimensions(0, 0));

    ImageProperties properties;
    properties.pixelWidth = static_cast<size_t>(width);
    properties.pixelHeight = static_cast<size_t>(height);
    properties.orientation = 1;
    if (auto exif = readExif(*handle)) {
        if (!exif->exif.empty())
            properties.exif = std::move(exif->exif);
        properties.dpiWidth = exif->xResolution;
        properties.dpiHeight = exif->yResolution;
    }
    return properties;
}

Result<Image, ImageSourceError> HeifDecoder::decode()
{
    auto handle = primaryImage();
    if (!handle)
        return unexpected(handle.error());
    const int handleWidth = heif_image_handle_get_width(*handle);
    const int handleHeight = heif_image_handle_get_height(*handle);
    if (auto refused = checkImageDimensions(std::max(handleWidth, 0), std::max(handleHeight, 0)))
        return unexpected(*refused);
    if (auto refused = checkHeifDeclaredSizes(*bytes_))
        return unexpected(*refused);
    // Should the container defeat the reading above, libheif's own per-side limit still keeps
    // derived canvases and coded frames near the stated size. Tiles may be larger than a small
    // image, hence the floor.
    const int statedSide =
        std::max(heif_image_handle_get_ispe_width(*handle), heif_image_handle_get_ispe_height(*handle));
    heif_context_set_maximum_image_size_limit(
        context_.get(), static_cast<int>(std::min<size_t>(std::max(statedSide + 64, 4096), maxImageDimension) + 1));

    const bool alpha = heif_image_handle_has_alpha_channel(*handle) != 0;
    const bool deep = heif_image_handle_get_luma_bits_per_pixel(*handle) > 8;
    const heif_chroma chroma = deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);

    std::unique_ptr<heif_decoding_options, DecodingOptionsFree> options(heif_decoding_options_alloc());
    if (!options)
        return unexpected(outOfMemory());
    options->convert_hdr_to_8bit = 0;
    heif_image* decoded = nullptr;
    const heif_error error = heif_decode_image(*handle, &decoded, heif_colorspace_RGB, chroma, options.get());
    HeifImage image(decoded);
    if (error.code != heif_error_Ok || !image)
        return unexpected(libheifError(error, "The HEIF image could not be decoded"));

    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0 || stride <= 0)
        return unexpected(ImageSourceError{Kind::corruptData, "The HEIF image decoded to no pixels."});
    if (auto refused = checkImageDimensions(size_t(width), size_t(height)))
        return unexpected(*refused);
    // libheif does not hold the coded stream to the container's size: a damaged stream can decode
    // to another size than properties() reported, which callers rely on.
    if (width != handleWidth || height != handleHeight)
        return unexpected(
            ImageSourceError{Kind::corruptData, "The HEIF image does not match the size its header states."});

    const int bits = deep ? heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) : 8;
    if (deep && (bits <= 8 || bits > 16))
        return unexpected(ImageSourceError{
            Kind::unsupported, "This HEIF image has an unsupported bit depth (" + std::to_string(bits) + ")."});

    const size_t components = alpha ? 4 : 3;
    const size_t bytesPerSample = deep ? 2 : 1;
    const size_t rowBytes = size_t(width) * components * bytesPerSample;
    if (size_t(stride) < rowBytes)
        return unexpected(ImageSourceError{Kind::corruptData, "The HEIF image decoded to a malformed pixel layout."});
    PixelBlock block = PixelBlock::allocate(rowBytes * size_t(height));
    if (block.empty())
        return unexpected(outOfMemory());

    const bool premultiplied = alpha && heif_image_is_premultiplied_alpha(image.get()) != 0;
    for (size_t y = 0; y < size_t(height); ++y) {
        uint8_t* row = block.data() + y * rowBytes;
        std::memcpy(row, plane + y * size_t(stride), rowBytes);
        if (deep && bits < 16)
            widenSamples(row, size_t(width) * components, bits);
        if (premultiplied)
            unpremultiplyRow(row, size_t(width), deep);
    }

    ImageFormat format;
    format.width = size_t(width);
    format.height = size_t(height);
    format.bitsPerComponent = deep ? 16 : 8;
    format.bitsPerPixel = format.bitsPerComponent * components;
    format.bytesPerRow = rowBytes;
    format.bitmapInfo =
        BitmapInfo::make(alpha ? AlphaInfo::last : AlphaInfo::none, deep ? BitmapInfo::byteOrder16Little : 0);
    return Image(format, readColorSpace(*handle), DataProvider::make(std::move(block)));
}

std::unique_ptr<ImageDecoder> makeHeifDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<HeifDecoder>(std::move(bytes));
}

} // namespace pelorin
