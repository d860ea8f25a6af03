// HeifDecoder: HEIF files (HEIC, and AVIF where libheif has an AV1 decoder) through libheif,
// primary image only.
// libheif applies the container's crop, rotation and mirroring while decoding, so the decoded
// image is upright: its size is the transformed size and its orientation is always 1, whatever
// the EXIF inside says (reporting that as well would rotate the cutout twice). The EXIF
// dictionary and DPI come from the first readable "Exif" metadata block (its X/Y resolution as
// stored, even under a quarter turn: files with unequal ones are rare); the colour space is
// the embedded ICC profile, byte for byte, else sRGB (nclx colour information is not mapped).
// Pixels: 8-bit RGB or RGBA; deeper files give 16-bit little-endian samples scaled to the full
// range; straight alpha. A grey-only file decodes as RGB.
//
// Contract: shares the file bytes, which libheif reads in place for as long as the decoder
// lives. Each decode() starts afresh and leaves nothing behind on failure. One thread at a time
// per decoder; separate decoders may run concurrently.
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

#include <optional>

struct heif_context;
struct heif_image_handle;

namespace pelorin {

class HeifDecoder final : public ImageDecoder {
public:
    explicit HeifDecoder(FileBytes bytes);
    ~HeifDecoder() override;
    HeifDecoder(const HeifDecoder&) = delete;
    HeifDecoder& operator=(const HeifDecoder&) = delete;

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    struct ContextFree {
        void operator()(heif_context* context) const;
    };
    struct HandleRelease {
        void operator()(heif_image_handle* handle) const;
    };

    // Parses the container once; later calls give the same handle or the same error.
    Result<heif_image_handle*, ImageSourceError> primaryImage();

    FileBytes bytes_; // declared first: the context reads these bytes until it is freed
    std::unique_ptr<heif_context, ContextFree> context_;
    std::unique_ptr<heif_image_handle, HandleRelease> handle_;
    std::optional<ImageSourceError> openError_;
};

} // namespace pelorin
