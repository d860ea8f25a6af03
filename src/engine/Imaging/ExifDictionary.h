// ExifDictionary: the tags of an image's Exif sub-IFD (exposure, dates, lens…), keyed by their
// standard names ("DateTimeOriginal", "ExposureTime"). IFD0 (make, model, orientation,
// resolution), GPS, interoperability, maker notes and the thumbnail are never part of it, so
// location data cannot travel from a source to its cutout.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorin {

// One tag as stored: TIFF field type (1 BYTE, 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 7 UNDEFINED,
// 9 SLONG, 10 SRATIONAL, …), component count, and the value bytes in little-endian order.
struct ExifValue {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    std::vector<uint8_t> bytes;

    friend bool operator==(const ExifValue&, const ExifValue&) = default;
};

using ExifDictionary = std::map<std::string, ExifValue>;

// What a codec learns from one EXIF block (a TIFF-structured blob).
struct ExifBlock {
    ExifDictionary exif;               // the Exif sub-IFD; empty when the block has none
    std::optional<int> orientation;    // IFD0 Orientation when it is 1…8
    std::optional<double> xResolution; // IFD0 X/YResolution converted to dots per inch
    std::optional<double> yResolution;
};

// Parses an EXIF block. Accepts an optional "Exif\0\0" prefix. Absent when the block is not a
// readable TIFF structure or is larger than 4 MiB. Values of a big-endian block are converted to
// little-endian. Never throws, never prints; safe to call from several threads at once.
std::optional<ExifBlock> parseExifBlock(std::span<const uint8_t> block);

// Serialises `exif` (may be null or empty) and, when given, an IFD0 Orientation into a
// little-endian TIFF-structured block without the "Exif\0\0" prefix: IFD0 holds only the
// Orientation and the Exif pointer. An entry that cannot be written (unknown type, a maker note,
// the interoperability pointer) is skipped. Empty when there is nothing to write.
// Never throws, never prints; safe to call from several threads at once.
std::vector<uint8_t> serializeExifBlock(const ExifDictionary* exif, std::optional<int> orientation);

// The JPEG preview a camera stores in IFD1 of a file's EXIF (any container exiv2 reads), for
// showing a small picture without decoding the image itself. It is as the sensor recorded it: the
// file's orientation applies to it too. Empty when there is none or it is not a plausible JPEG.
// Never throws, never prints; safe to call from several threads at once.
std::vector<uint8_t> embeddedThumbnail(std::span<const uint8_t> fileBytes);

} // namespace pelorin
