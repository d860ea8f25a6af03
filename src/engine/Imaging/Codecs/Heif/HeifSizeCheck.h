// Sizes a HEIF file declares beyond the one it states, checked before libheif decodes: libheif
// allocates a derived image's canvas (the primary image's, or a tile's that is itself derived)
// at the size the item's data gives, and hands each coded item's stream to a decoder that
// allocates what the stream's headers say; neither is compared with the container's stated size
// until the pixels exist.
#pragma once

#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <optional>
#include <span>

namespace pelorin {

// Absent when every canvas matches its item's stated size (or that size transposed: libheif
// writes the rotated size when it stores a rotation), every HEVC frame fits its item's stated
// size plus one coding block, and every declared size is within the pixel limits. A container
// that cannot be read for this is let through: libheif's own limits remain.
std::optional<ImageSourceError> checkHeifDeclaredSizes(std::span<const uint8_t> file);

} // namespace pelorin
