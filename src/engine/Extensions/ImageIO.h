// Writing an image to a file as PNG or TIFF with the metadata its source carried.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Extensions/ImageIOWriteError.h"
#include "engine/Extensions/ImageMetadata.h"
#include "engine/Imaging/Image.h"
#include "engine/Models/OutputFormat.h"

#include <filesystem>
#include <optional>

namespace pelorin {

// Encodes `image` into a new file at `url` (an existing file there is replaced). The pixels are
// written as stored, never rotated: the source's orientation is written instead, so viewers turn
// the cutout as they turn the source. TIFF output is always LZW-compressed.
// Fails, leaving no file at `url`, when the image has no colour space (missingColorSpace), the file
// cannot be created (destinationCreationFailed) or the encoder fails (finalizeFailed). Both
// errors name the URL's last path component.
Result<void, ImageIOWriteError> write(const Image& image, const std::filesystem::path& url, OutputFormat format,
                                      const std::optional<ImageMetadata>& sourceMetadata);

} // namespace pelorin
