// Deflates one band of filtered rows as a piece of the image's single zlib stream: raw deflate,
// ending on a byte boundary with no final block unless the band is the last. The pieces of
// consecutive bands, in order, form one valid raw deflate stream whichever library made them.
#pragma once

#include "engine/Imaging/Codecs/Png/PngCompression.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pelorin::png {

// Returns an empty string on success, else a complete sentence. May throw std::bad_alloc.
std::string deflateBand(std::span<const uint8_t> filtered, const PngMethod& settings, bool last,
                        std::vector<uint8_t>& output);

} // namespace pelorin::png
