// Encoders for the two output formats. Each writes one image with its properties to an open file
// descriptor at its current offset and never closes it; the caller owns the file and removes it
// when encoding fails.
//
// Both accept any integer layout that RowNormalizer accepts (grey, grey+alpha, RGB, RGBA; 8 or 16
// bits; any alpha position or byte order) and write the image's own bit depth, alpha and colour
// profile. Float and CMYK images are refused with a message.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"
#include "engine/Imaging/ImageProperties.h"

#include <string>

namespace pelorin {

// PNG: iCCP with the ICC profile (an sRGB chunk for named sRGB, gAMA 1.0 for linear grey), pHYs
// for DPI, and an eXIf chunk holding IFD0 Orientation and the Exif sub-IFD.
Result<void, std::string> encodePng(int fd, const Image& image, const ImageProperties& properties);

// TIFF: compression from properties.tiff (LZW when 5; none otherwise), the ICC profile tag,
// X/YResolution in inches, Orientation, and an Exif IFD.
Result<void, std::string> encodeTiff(int fd, const Image& image, const ImageProperties& properties);

} // namespace pelorin
