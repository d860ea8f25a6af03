// ImageDecoder: what every codec offers ImageSource. A decoder reads from the file's bytes, held in
// memory and shared with the decoder (so it never reads past them and never sees the file change).
//
// Decoded images follow one convention (see Image.h): straight alpha, except where the file stores
// premultiplied colour (TIFF associated alpha), which is tagged so and kept as stored; palettes
// expanded to RGB or RGBA; grey stays grey; 8-bit stays 8-bit; deeper integer samples become
// 16-bit; float stays float. A decoder checks header dimensions against ImageLimits before
// allocating pixels. Decoders are used from one thread at a time; different decoders may run
// concurrently.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/Image.h"
#include "engine/Imaging/ImageProperties.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace pelorin {

using FileBytes = std::shared_ptr<const std::vector<uint8_t>>;

class ImageDecoder {
public:
    virtual ~ImageDecoder() = default;
    // Header properties without decoding pixels: pixel size, orientation, DPI, EXIF.
    virtual Result<ImageProperties, ImageSourceError> properties() = 0;
    // The first image, fully decoded.
    virtual Result<Image, ImageSourceError> decode() = 0;
};

// One factory per codec. Each returns null only if `bytes` is null; content errors surface from
// properties() and decode().
std::unique_ptr<ImageDecoder> makePngDecoder(FileBytes bytes);
std::unique_ptr<ImageDecoder> makeJpegDecoder(FileBytes bytes);
std::unique_ptr<ImageDecoder> makeTiffDecoder(FileBytes bytes);
std::unique_ptr<ImageDecoder> makeWebPDecoder(FileBytes bytes);
std::unique_ptr<ImageDecoder> makeHeifDecoder(FileBytes bytes);
std::unique_ptr<ImageDecoder> makeBmpDecoder(FileBytes bytes);

} // namespace pelorin
