// PngDecoder: reads PNG files with libpng from bytes held in memory.
//
// properties() reads the chunks before the image data only: size, DPI from pHYs (metre unit),
// EXIF and orientation from eXIf (or, failing that, a "Raw profile type exif" text chunk).
// decode() gives 8 or 16 bits per component; lower depths become 8 bits, palettes RGB or RGBA,
// tRNS an alpha channel; grey stays grey. 16-bit samples come out little-endian (host order), so
// the kernels that read them next do not swap every sample. Colour space: the iCCP profile as
// stored, else sRGB for an sRGB chunk or colour, linear grey for grey with gAMA 1.0, else device
// grey. Damaged data (bad CRC anywhere, truncation) is an error, never a partial image.
#pragma once

#include "engine/Imaging/Codecs/ImageDecoder.h"

namespace pelorin {

class PngDecoder final : public ImageDecoder {
public:
    explicit PngDecoder(FileBytes bytes) : bytes_(std::move(bytes)) {}

    Result<ImageProperties, ImageSourceError> properties() override;
    Result<Image, ImageSourceError> decode() override;

private:
    FileBytes bytes_;
};

} // namespace pelorin
