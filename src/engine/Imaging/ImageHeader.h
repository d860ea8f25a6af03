// ImageHeader: what a queue needs to know about an image file before it is processed: its format
// (by content) and its pixel size as the header states it, unchecked against ImageLimits.
#pragma once

#include "engine/Imaging/ImageFileType.h"

#include <cstddef>

namespace pelorin {

struct ImageHeader {
    ImageFileType type = ImageFileType::png;
    size_t pixelWidth = 0;
    size_t pixelHeight = 0;
};

} // namespace pelorin
