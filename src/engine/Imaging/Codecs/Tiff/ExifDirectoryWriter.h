// ExifDirectoryWriter: an ExifDictionary as a little-endian classic TIFF IFD, ready to be written
// at a known offset of a TIFF file (value offsets are absolute). Every well-formed entry is written
// with its exact type, count and bytes, so no value is converted or rounded on its way out.
//
// Left out, and named in `skipped`: entries whose byte length is not count × the size of their
// type, unknown types (and BigTIFF-only ones), empty values, sub-IFD pointers (Exif, GPS,
// interoperability) and maker notes (whose internal offsets would dangle), and a second entry
// with the tag number of an earlier one.
#pragma once

#include "engine/Imaging/ExifDictionary.h"

#include <cstdint>
#include <string>
#include <vector>

namespace pelorin::tiff {

struct ExifDirectory {
    std::vector<uint8_t> bytes;       // empty when no entry could be written
    std::vector<std::string> skipped; // dictionary keys left out
};

// `offset` is where the IFD will start in the file; it must be even and below 4 GiB.
ExifDirectory writeExifDirectory(const ExifDictionary& exif, uint32_t offset);

} // namespace pelorin::tiff
