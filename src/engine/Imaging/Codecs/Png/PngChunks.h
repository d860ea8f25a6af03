// Direct access to a PNG file's chunk list, for the few things libpng's header pass does not give:
// an eXIf chunk stored after the image data, or one libpng rejected for its "Exif\0\0" prefix.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pelorin::png {

// The data of the first chunk of `type` (four letters) before IEND whose CRC is right; absent when
// there is none. Walks lengths only, never reads past `file`, and never inflates anything.
std::optional<std::span<const uint8_t>> findPngChunk(std::span<const uint8_t> file, std::string_view type);

} // namespace pelorin::png
