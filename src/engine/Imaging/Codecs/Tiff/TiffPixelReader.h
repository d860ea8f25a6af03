// TiffPixelReader: decodes directory 0's pixels for the direct layouts (every TiffLayout kind but
// rgbaImage): strips or tiles, chunky or planar, 1/2/4-bit samples widened to 8 bits, MinIsWhite
// inverted, palettes expanded, unused extra samples dropped.
//
// Bands of rows (a strip or a row of tiles each) are decoded in parallel on the shared thread
// budget; each worker opens its own handle over the same bytes, since a TIFF* is single-threaded.
// Contract: `first` is a prepared handle over `file` (it decodes one share of the bands);
// `output` holds layout.height rows of layout.outputBytesPerRow(). On failure `output` holds
// partial data and the error says which strip or tile failed and why.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/Tiff/TiffHandle.h"
#include "engine/Imaging/Codecs/Tiff/TiffLayout.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <span>

namespace pelorin::tiff {

Result<void, ImageSourceError> readTiffPixels(TiffHandle& first, std::span<const uint8_t> file,
                                              const TiffLayout& layout, std::span<uint8_t> output);

} // namespace pelorin::tiff
