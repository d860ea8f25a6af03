#include "engine/Imaging/Codecs/WebP/WebPDecoder.h"

#include "engine/Imaging/ImageLimits.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <webp/decode.h>
#include <webp/demux.h>

namespace pelorin {

namespace {
using Kind = ImageSourceError::Kind;

struct DemuxerDelete {
    void operator()(WebPDemuxer* demuxer) const { WebPDemuxDelete(demuxer); }
};
using Demuxer = std::unique_ptr<WebPDemuxer, DemuxerDelete>;

struct AnimationDecoderDelete {
    void operator()(WebPAnimDecoder* decoder) const { WebPAnimDecoderDelete(decoder); }
};
using AnimationDecoder = std::unique_ptr<WebPAnimDecoder, AnimationDecoderDelete>;

// Releases a chunk iterator however the scope is left.
class ChunkIterator {
public:
    ChunkIterator() { std::memset(&iterator_, 0, sizeof iterator_); }
    ~ChunkIterator() { WebPDemuxReleaseChunkIterator(&iterator_); }
    ChunkIterator(const ChunkIterator&) = delete;
    ChunkIterator& operator=(const ChunkIterator&) = delete;
    WebPChunkIterator* get() { return &iterator_; }

private:
    WebPChunkIterator iterator_;
};

ImageSourceError statusError(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_NOT_ENOUGH_DATA:
        return {Kind::corruptData, "The WebP file is truncated: its image data ends early."};
    case VP8_STATUS_OUT_OF_MEMORY: return {Kind::outOfMemory, "There is not enough memory to decode this WebP image."};
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        return {Kind::unsupported, "This WebP image uses a feature that is not supported."};
    default: return {Kind::corruptData, "The WebP file is damaged."};
    }
}

ImageSourceError outOfMemory()
{
    return statusError(VP8_STATUS_OUT_OF_MEMORY);
}

Result<WebPBitstreamFeatures, ImageSourceError> readFeatures(const std::vector<uint8_t>& bytes)
{
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(bytes.data(), bytes.size(), &features);
    if (status != VP8_STATUS_OK)
        return unexpected(statusError(status));
    return features;
}

// Parses as much of the container as is present, so that the header chunks of a truncated
// file can still be read. Null when not even the header is readable.
Demuxer openDemuxer(const std::vector<uint8_t>& bytes)
{
    const WebPData data{bytes.data(), bytes.size()};
    WebPDemuxState state = WEBP_DEMUX_PARSE_ERROR;
    Demuxer demuxer(WebPDemuxPartial(&data, &state));
    if (state < WEBP_DEMUX_PARSED_HEADER)
        demuxer.reset();
    return demuxer;
}

// The payload of the first chunk named `fourCC`, when the container holds it whole.
std::optional<std::vector<uint8_t>> chunkPayload(const Demuxer& demuxer, const char* fourCC)
{
    if (!demuxer)
        return std::nullopt;
    ChunkIterator chunk;
    if (!WebPDemuxGetChunk(demuxer.get(), fourCC, 1, chunk.get()))
        return std::nullopt;
    const WebPData& payload = chunk.get()->chunk;
    return std::vector<uint8_t>(payload.bytes, payload.bytes + payload.size);
}

// WebP pixels are always RGB; a profile for another model cannot describe them.
ColorSpace colorSpaceFor(std::optional<std::vector<uint8_t>> profile)
{
    if (profile && !profile->empty()) {
        auto fromProfile = ColorSpace::fromICCProfile(std::move(*profile));
        if (fromProfile.model() == ColorSpace::Model::rgb)
            return fromProfile;
    }
    return ColorSpace::named(ColorSpace::Name::sRGB);
}

struct PixelLayout {
    size_t width;
    size_t height;
    size_t components; // 3 (RGB) or 4 (RGBA, straight alpha)
    size_t bytesPerRow() const { return width * components; }
};

Image makeImage(const PixelLayout& layout, PixelBlock block, ColorSpace colorSpace)
{
    const auto alpha = layout.components == 4 ? AlphaInfo::last : AlphaInfo::none;
    const ImageFormat format{layout.width,          layout.height,        8,
                             8 * layout.components, layout.bytesPerRow(), BitmapInfo::make(alpha)};
    return Image(format, std::move(colorSpace), DataProvider::make(std::move(block)));
}

Result<PixelBlock, ImageSourceError> decodeStill(const std::vector<uint8_t>& bytes, const PixelLayout& layout)
{
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return unexpected(ImageSourceError{Kind::unsupported, "The WebP library on this system is incompatible."});
    auto block = PixelBlock::allocate(layout.bytesPerRow() * layout.height);
    if (block.empty())
        return unexpected(outOfMemory());
    config.options.use_threads = 0; // the caller's thread budget already covers this decode
    config.output.colorspace = layout.components == 4 ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = block.data();
    config.output.u.RGBA.stride = static_cast<int>(layout.bytesPerRow());
    config.output.u.RGBA.size = block.size();
    const VP8StatusCode status = WebPDecode(bytes.data(), bytes.size(), &config);
    WebPFreeDecBuffer(&config.output); // frees nothing of ours: the buffer is external
    if (status != VP8_STATUS_OK)
        return unexpected(statusError(status));
    return block;
}

// The first frame composed on the animation's canvas, as a viewer shows it before playing.
Result<PixelBlock, ImageSourceError> decodeFirstFrame(const std::vector<uint8_t>& bytes, const PixelLayout& layout)
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return unexpected(ImageSourceError{Kind::unsupported, "The WebP library on this system is incompatible."});
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData data{bytes.data(), bytes.size()};
    AnimationDecoder decoder(WebPAnimDecoderNew(&data, &options));
    if (!decoder)
        return unexpected(ImageSourceError{Kind::corruptData, "The animated WebP file is damaged or truncated."});
    WebPAnimInfo info;
    if (!WebPAnimDecoderGetInfo(decoder.get(), &info) || info.canvas_width != layout.width
        || info.canvas_height != layout.height)
        return unexpected(ImageSourceError{Kind::corruptData, "The animated WebP file is damaged."});
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &canvas, &timestamp) || !canvas)
        return unexpected(ImageSourceError{Kind::corruptData, "The first frame of the animated WebP file is damaged."});

    auto block = PixelBlock::allocate(layout.bytesPerRow() * layout.height);
    if (block.empty())
        return unexpected(outOfMemory());
    const size_t pixels = layout.width * layout.height;
    if (layout.components == 4) {
        std::memcpy(block.data(), canvas, pixels * 4);
    } else {
        uint8_t* out = block.data();
        for (size_t i = 0; i < pixels; ++i, out += 3, canvas += 4)
            std::memcpy(out, canvas, 3);
    }
    return block;
}
} // namespace

WebPDecoder::WebPDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

Result<ImageProperties, ImageSourceError> WebPDecoder::properties()
{
    try {
        auto features = readFeatures(*bytes_);
        if (!features)
            return unexpected(features.error());
        ImageProperties properties;
        properties.pixelWidth = static_cast<size_t>(features->width);
        properties.pixelHeight = static_cast<size_t>(features->height);

        // The EXIF chunk may or may not repeat JPEG's "Exif\0\0" prefix; the parser takes both.
        const auto demuxer = openDemuxer(*bytes_);
        if (const auto payload = chunkPayload(demuxer, "EXIF")) {
            if (auto exif = parseExifBlock(*payload)) {
                if (!exif->exif.empty())
                    properties.exif = std::move(exif->exif);
                properties.orientation = exif->orientation;
                // WebP has no resolution of its own.
                properties.dpiWidth = exif->xResolution;
                properties.dpiHeight = exif->yResolution;
            }
        }
        return properties;
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> WebPDecoder::decode()
{
    try {
        return decodeImage();
    } catch (const std::bad_alloc&) {
        return unexpected(outOfMemory());
    }
}

Result<Image, ImageSourceError> WebPDecoder::decodeImage()
{
    auto features = readFeatures(*bytes_);
    if (!features)
        return unexpected(features.error());
    if (features->width <= 0 || features->height <= 0)
        return unexpected(ImageSourceError{Kind::corruptData, "The WebP image has no pixels."});
    const PixelLayout layout{static_cast<size_t>(features->width), static_cast<size_t>(features->height),
                             features->has_alpha ? size_t{4} : size_t{3}};
    if (auto refusal = checkImageDimensions(layout.width, layout.height))
        return unexpected(*refusal);

    auto colorSpace = colorSpaceFor(chunkPayload(openDemuxer(*bytes_), "ICCP"));
    auto pixels = features->has_animation ? decodeFirstFrame(*bytes_, layout) : decodeStill(*bytes_, layout);
    if (!pixels)
        return unexpected(pixels.error());
    return makeImage(layout, std::move(*pixels), std::move(colorSpace));
}

std::unique_ptr<ImageDecoder> makeWebPDecoder(FileBytes bytes)
{
    if (!bytes)
        return nullptr;
    return std::make_unique<WebPDecoder>(std::move(bytes));
}

} // namespace pelorin
