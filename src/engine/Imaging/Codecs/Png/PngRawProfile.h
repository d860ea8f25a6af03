// Reads the hex-encoded profile text some writers store in a tEXt/zTXt chunk named
// "Raw profile type exif" (or "…APP1"): "\nexif\n     <length>\n<hex digits, wrapped>".
// This is how EXIF travelled in PNG before the eXIf chunk existed.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace pelorin::png {

// The decoded bytes; absent when the text is not of that form or holds fewer digits than it claims.
std::optional<std::vector<uint8_t>> decodeRawProfileText(std::string_view text);

} // namespace pelorin::png
