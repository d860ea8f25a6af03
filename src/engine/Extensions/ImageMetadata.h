// ImageMetadata: the few properties a cutout keeps from its source: orientation, the EXIF
// dictionary and the resolution. Nothing else (GPS, IFD0 make/model, IPTC…) is carried; the colour
// profile travels with the image itself.
#pragma once

#include "engine/Imaging/ExifDictionary.h"
#include "engine/Imaging/ImageProperties.h"

#include <filesystem>
#include <optional>

namespace pelorin {

struct ImageMetadata {
    std::optional<int> orientation;
    std::optional<ExifDictionary> exif;
    std::optional<double> dpiWidth;
    std::optional<double> dpiHeight;

    friend bool operator==(const ImageMetadata&, const ImageMetadata&) = default;

    // The metadata of the image file at `url`; absent when it cannot be opened as an image or its
    // properties cannot be read. Never fails otherwise: a readable file without any of the four
    // entries gives a value whose fields are all absent.
    static std::optional<ImageMetadata> read(const std::filesystem::path& url);
    // The same four entries of properties already read.
    static ImageMetadata from(const ImageProperties& properties);

    // Sets, in this order, the orientation, DPI width, DPI height and (when it holds at least one
    // entry) EXIF entries of `properties` from the fields that are present; leaves the rest alone.
    void merge(ImageProperties& properties) const;
};

} // namespace pelorin
