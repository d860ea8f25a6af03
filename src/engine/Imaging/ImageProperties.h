// ImageProperties: the property dictionary of one image, read from a file's header or handed to an
// encoder with the image. Each entry is absent when the file lacks it.
#pragma once

#include "engine/Imaging/ExifDictionary.h"

#include <cstddef>
#include <optional>

namespace pelorin {

struct TIFFProperties {
    std::optional<int> compression; // TIFF Compression tag value; 5 is LZW
};

struct ImageProperties {
    std::optional<size_t> pixelWidth; // always present in properties read from a file
    std::optional<size_t> pixelHeight;
    std::optional<int> orientation; // 1…8, as the EXIF/TIFF Orientation tag
    std::optional<double> dpiWidth; // horizontal resolution in dots per inch
    std::optional<double> dpiHeight;
    std::optional<ExifDictionary> exif;
    std::optional<TIFFProperties> tiff; // encoder options for TIFF output
};

} // namespace pelorin
