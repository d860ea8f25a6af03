// Pixel limits every decoder applies to header dimensions before allocating anything, so a file
// that claims absurd dimensions is refused with a clear error instead of exhausting memory.
#pragma once

#include "engine/Imaging/ImageSourceError.h"

#include <cstddef>
#include <optional>

namespace pelorin {

inline constexpr size_t maxImageDimension = 65535;            // pixels per side
inline constexpr size_t maxImagePixelCount = size_t{1} << 28; // 268,435,456 pixels (256 MP)
inline constexpr size_t maxImageFileSize = size_t{2} << 30;   // 2 GiB

// Absent when width × height is acceptable; otherwise the error to report.
std::optional<ImageSourceError> checkImageDimensions(size_t width, size_t height);

} // namespace pelorin
