// TiffEncoder: the tuning knobs behind encodeTiff (Codecs/ImageEncoder.h), exposed so that the
// benchmark can measure the alternatives through the same code. encodeTiff uses the defaults.
#pragma once

#include "Common/Result.h"
#include "Imaging/Image.h"
#include "Imaging/ImageProperties.h"

#include <cstddef>
#include <string>

namespace pelorin::tiff {

struct TiffEncodingOptions {
    // Horizontal differencing (Predictor 2) before LZW: photographs compress far better with it.
    bool horizontalPredictor = true;
    // Uncompressed bytes per strip: big enough to keep per-strip overhead negligible, small
    // enough to stay in cache while it is converted and compressed.
    size_t stripBytes = size_t{256} << 10;
};

Result<void, std::string> encodeTiff(int fd, const Image& image, const ImageProperties& properties,
                                     const TiffEncodingOptions& options);

} // namespace pelorin::tiff
