// TiffRgbaReader: the fallback for layouts the direct reader does not handle (YCbCr without JPEG,
// old-style JPEG, CIE L*a*b*, LogLuv, odd ink sets…) through libtiff's RGBA interface: 8-bit RGBA,
// colour premultiplied when the file has alpha. Rows stay in stored order: the Orientation tag is
// reported as a property, never applied here.
// Contract: `output` holds layout.height rows of layout.width × 4 bytes.
#pragma once

#include "Common/Result.h"
#include "Imaging/Codecs/Tiff/TiffHandle.h"
#include "Imaging/Codecs/Tiff/TiffLayout.h"
#include "Imaging/ImageSourceError.h"

#include <cstdint>
#include <span>

namespace pelorin::tiff {

Result<void, ImageSourceError> readTiffRgba(TiffHandle& handle, const TiffLayout& layout, std::span<uint8_t> output);

} // namespace pelorin::tiff
