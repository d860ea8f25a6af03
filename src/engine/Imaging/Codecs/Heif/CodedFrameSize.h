// The frame sizes a coded image stream declares in its parameter sets, read without decoding:
// what the HEVC or AV1 decoder will allocate once libheif hands it the stream.
#pragma once

#include "engine/Imaging/Codecs/Heif/HeifContainer.h"

#include <span>
#include <vector>

namespace pelorin {

// Every sequence parameter set in an 'hvcC' body and in the item's data (NAL units with 4-byte
// lengths, as libheif passes them on). Sets that cannot be parsed are left out: the decoder
// refuses those too.
std::vector<PixelSize> hevcFrameSizes(std::span<const uint8_t> configuration, std::span<const uint8_t> data);

// The largest frame every AV1 sequence header allows, from an 'av1C' body and the item's OBUs.
std::vector<PixelSize> av1MaximumFrameSizes(std::span<const uint8_t> configuration, std::span<const uint8_t> data);

} // namespace pelorin
