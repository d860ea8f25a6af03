// TiffRgbaReader: the fallback for layouts the direct reader does not handle (YCbCr without JPEG,
// old-style JPEG, CIE L*a*b*, LogLuv, odd ink sets…) through libtiff's RGBA interface: 8-bit RGBA,
// colour premultiplied when the file has alpha. Rows stay in stored order: the Orientation tag is
// reported as a property, never applied here.
// Contract: `output` holds layout.height rows of layout.width × 4 bytes.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Codecs/Tiff/TiffHandle.h"
#include "engine/Imaging/Codecs/Tiff/TiffLayout.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <span>

namespace pelorin::tiff {

Result<void, ImageSourceError> readTiffRgba(TiffHandle& handle, const TiffLayout& layout, std::span<uint8_t> output);

} // namespace pelorin::tiff
