// JpegDecoder: JPEG files through libjpeg-turbo. Properties come from the header alone (size,
// EXIF tags and orientation, resolution from the JFIF density or else EXIF); decoding gives
// 8-bit grey, RGB or plain (uninverted) CMYK, tagged with the embedded ICC profile when it fits.
//
// Contract: shares the file bytes; each call decodes afresh and leaves nothing behind on failure.
// One thread at a time per decoder.
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

namespace pelorin {

class JpegDecoder final : public ImageDecoder {
public:
    explicit JpegDecoder(FileBytes bytes);

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    Result<Image, ImageSourceError> decodeImage();

    FileBytes bytes_;
};

} // namespace pelorin
