// TiffExifFields: what reading and writing Exif IFDs in TIFF files share about entries: the byte
// size of each field type, and the tags whose values are offsets that cannot be moved blindly
// (sub-IFD pointers and maker notes). Constants and a pure function only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin::tiff {

constexpr uint16_t exifPointerTag = 0x8769;
constexpr uint16_t gpsPointerTag = 0x8825;
constexpr uint16_t interoperabilityPointerTag = 0xa005;
constexpr uint16_t makerNoteTag = 0x927c;

// Bytes of one value of a classic TIFF field type; 0 for unknown types and BigTIFF's 8-byte integers.
constexpr size_t fieldTypeSize(uint16_t type)
{
    switch (type) {
    case 1:
    case 2:
    case 6:
    case 7: return 1; // BYTE, ASCII, SBYTE, UNDEFINED
    case 3:
    case 8: return 2; // SHORT, SSHORT
    case 4:
    case 9:
    case 11:
    case 13: return 4; // LONG, SLONG, FLOAT, IFD
    case 5:
    case 10:
    case 12: return 8; // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
    }
}

} // namespace pelorin::tiff
