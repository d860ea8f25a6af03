// TiffExifReader: the Exif IFD of a TIFF file as an ExifDictionary. The IFD and the values it
// points at are copied into a small self-contained TIFF block (a header, an IFD0 holding only the
// Exif pointer, the relocated IFD) for parseExifBlock, so the EXIF parser sees kilobytes whatever
// the image's size, and never the pixel data or the other directories.
// Maker notes and the interoperability pointer are left out: they hold offsets that relocation
// would break, and the dictionary never carries them. Classic TIFF and BigTIFF; every offset is
// checked against the file. Never throws.
#pragma once

#include "engine/Imaging/ExifDictionary.h"

#include <cstdint>
#include <optional>
#include <span>

namespace pelorin::tiff {

// Absent when the IFD at `exifOffset` is unreadable or holds no usable tag.
std::optional<ExifDictionary> readTiffExif(std::span<const uint8_t> file, uint64_t exifOffset);

} // namespace pelorin::tiff
