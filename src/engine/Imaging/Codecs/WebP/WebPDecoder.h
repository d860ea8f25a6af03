// WebPDecoder: WebP files (lossy, lossless, with or without alpha) through libwebp. Properties
// come from the bitstream header and the EXIF chunk; decoding gives 8-bit RGB, or RGBA with
// straight alpha, tagged with the ICCP profile or else sRGB. Of an animation, the first frame
// is decoded on its canvas.
//
// Contract: shares the file bytes; each call decodes afresh and leaves nothing behind on failure.
// One thread at a time per decoder.
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

namespace pelorin {

class WebPDecoder final : public ImageDecoder {
public:
    explicit WebPDecoder(FileBytes bytes);

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    Result<Image, ImageSourceError> decodeImage();

    FileBytes bytes_;
};

} // namespace pelorin
