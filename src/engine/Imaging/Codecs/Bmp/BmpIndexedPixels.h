// Decoding of colour-indexed BMP pixels (1, 4 or 8 bits, stored plainly or run-length encoded)
// to 8-bit RGB. Done here rather than by stb_image, which cannot decode run-length encoding and
// reads colours it never loaded for indices past a short colour table.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/Bmp/BmpHeader.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <span>

namespace pelorin {

// Writes the image as packed RGB rows, top row first, into `out` (width × 3 × height bytes).
// Indices past the colour table give black; pixels a run-length stream skips take colour 0.
// Fails when the pixel data is cut short. Never reads outside `file`.
Result<void, ImageSourceError> decodeIndexedBmp(const BmpHeader& header, std::span<const uint8_t> file,
                                                std::span<uint8_t> out);

} // namespace pelorin
