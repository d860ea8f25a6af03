// Writes an image's rows as a PNG's image data: filtered, deflated in bands (see PngCompression.h)
// and stored as IDAT chunks, followed by IEND. Reads pixels through a RowNormalizer, so any layout
// it accepts works; 16-bit samples are stored big-endian as PNG requires.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/Png/PngCompression.h"
#include "engine/Imaging/Codecs/Png/PngFileSink.h"
#include "engine/Imaging/RowNormalizer.h"

#include <string>

namespace pelorin::png {

// On failure the sink may hold part of the data; the message is a complete sentence.
Result<void, std::string> writePngImageData(const RowNormalizer& rows, size_t height, const PngCompression& compression,
                                            PngFileSink& sink);

} // namespace pelorin::png
