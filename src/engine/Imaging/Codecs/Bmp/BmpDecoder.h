// BmpDecoder: Windows and OS/2 bitmaps. Properties come from our own reading of the headers
// (size, resolution); colour-indexed pixels (plain or run-length encoded) are expanded here, and
// 16/24/32-bit pixels are decoded by stb_image. The result is 8-bit RGB, or RGBA with straight
// alpha when a V4/V5 header declares an alpha mask and the alpha is not all zero; it is tagged
// with the V5 header's embedded profile, else sRGB.
//
// Contract: shares the file bytes; each call decodes afresh and leaves nothing behind on failure.
// One thread at a time per decoder.
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

namespace pelorin {

class BmpDecoder final : public ImageDecoder {
public:
    explicit BmpDecoder(FileBytes bytes);

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    Result<Image, ImageSourceError> decodeImage();

    FileBytes bytes_;
};

} // namespace pelorin
