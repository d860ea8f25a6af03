// TiffLayout: how directory 0 stores its pixels and the layout we decode them to. Output
// component k is stored sample k (colour samples first, then the first extra sample as alpha or
// padding); a palette's single index sample expands to three colour components.
//
// readTiffLayout may switch a JPEG-compressed YCbCr handle to RGB output (TIFFTAG_JPEGCOLORMODE),
// so call it (or prepareTiffForDecoding) on every handle that reads the pixels.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/BitmapInfo.h"
#include "engine/Imaging/ImageSourceError.h"

#include <tiffio.h>

#include <cstddef>
#include <cstdint>

namespace pelorin::tiff {

struct TiffLayout {
    enum class Kind {
        gray,      // MinIsBlack / MinIsWhite
        rgb,       // RGB, and JPEG YCbCr delivered as RGB
        palette,   // indices into the colour map, expanded to 8-bit RGB
        cmyk,      // separated with the CMYK ink set; extra samples dropped
        rgbaImage, // anything else libtiff's RGBA interface reads: 8-bit RGBA, premultiplied alpha
    };

    uint32_t width = 0;
    uint32_t height = 0;
    uint16_t samplesPerPixel = 1;
    uint16_t bitsPerSample = 1;
    uint16_t photometric = 0;
    bool planarSeparate = false;
    bool tiled = false;
    Kind kind = Kind::gray;
    bool minIsWhite = false;

    bool floatSamples = false;
    size_t colorComponents = 1;  // of the output: 1, 3 or 4
    size_t outputComponents = 1; // colour plus alpha or padding
    size_t outputBits = 8;       // per component: 8, 16, or 32 for float
    AlphaInfo alpha = AlphaInfo::none;

    // Stored samples the output needs: sample 0 up to this count (exclusive).
    size_t sourceSamplesUsed() const;
    size_t outputBytesPerRow() const { return size_t{width} * outputComponents * (outputBits / 8); }
    uint32_t bitmapInfo() const;
};

// Sets what every handle decoding pixels needs (RGB output for JPEG YCbCr).
void prepareTiffForDecoding(TIFF* tif);
// Reads directory 0's tags and decides the output layout. Does not check the dimensions.
Result<TiffLayout, ImageSourceError> readTiffLayout(TIFF* tif);

} // namespace pelorin::tiff
