// ImageFileType: the image formats we read, recognised by content (magic bytes), never by name.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace pelorin {

enum class ImageFileType { png, jpeg, tiff, webp, heif, bmp };

std::optional<ImageFileType> detectImageFileType(std::span<const uint8_t> leadingBytes);

} // namespace pelorin
