// TiffDecoder: TIFF files through libtiff, directory 0 only. Properties come from the tags alone
// (size, Orientation, X/YResolution in inches or centimetres, the Exif IFD); decoding keeps 8 and
// 16-bit integer and 32-bit float samples (host byte order), widens 1/2/4-bit samples to 8,
// expands palettes to RGB, keeps grey and CMYK as stored, and tags the image with the embedded
// ICC profile when it fits the pixels (else sRGB, device grey or device CMYK).
//
// Alpha: an associated-alpha extra sample gives premultiplied alpha, an unassociated one straight
// alpha, an unspecified one padding (none-skip-last).
// Contract: shares the file bytes; each call opens its own libtiff handles and leaves nothing
// behind on failure. One thread at a time per decoder (decoding itself runs in parallel).
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

namespace pelorin {

class TiffDecoder final : public ImageDecoder {
public:
    explicit TiffDecoder(FileBytes bytes);

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    FileBytes bytes_;
};

} // namespace pelorin
