// Writes one PNG chunk (length, type, data, CRC) to a sink, for the chunks we emit ourselves
// (image data and the end marker) after libpng has written the header chunks.
#pragma once

#include "engine/Imaging/Codecs/Png/PngFileSink.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace pelorin::png {

// `type` is four letters; data.size() must be below 2^31. False when the sink failed.
bool writePngChunk(PngFileSink& sink, std::string_view type, std::span<const uint8_t> data);

} // namespace pelorin::png
