// BmpHeader: the fields of a BMP file's headers that decoding needs, read and checked against
// the file's length, so that nothing after this reads outside the file.
//
// Accepted: the OS/2 core header (12 bytes) and the Windows info header with its V3, V4 and V5
// extensions (40, 56, 108, 124 bytes). Pure function; safe from any thread.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Imaging/ImageSourceError.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace pelorin {

enum class BmpCompression : uint32_t {
    none = 0,
    rle8 = 1,
    rle4 = 2,
    bitFields = 3,
};

struct BmpHeader {
    static constexpr size_t fileHeaderSize = 14;

    uint32_t infoHeaderSize = 0;
    size_t width = 0;
    size_t height = 0;         // rows, whatever their order
    bool topDown = false;      // a negative height in the file: first row stored first
    uint16_t bitsPerPixel = 0; // 1, 4, 8, 16, 24 or 32
    BmpCompression compression = BmpCompression::none;
    size_t pixelOffset = 0;     // where the pixel data starts; within the file
    uint32_t alphaMask = 0;     // non-zero only for 16/32-bit pixels with a V4/V5 alpha mask
    std::optional<double> dpiX; // from pixels per metre, when given
    std::optional<double> dpiY;

    // The colour table of 1/4/8-bit images, within the file (empty for direct colour).
    size_t paletteOffset = 0;
    size_t paletteEntries = 0;
    size_t paletteEntrySize = 4; // 3 in the core header
    // A V5 header's embedded ICC profile, within the file (empty when there is none).
    size_t profileOffset = 0;
    size_t profileSize = 0;

    bool isIndexed() const { return bitsPerPixel <= 8; }
    // Bytes per stored row of uncompressed pixels (rows are padded to four bytes).
    size_t storedRowBytes() const { return (width * bitsPerPixel + 31) / 32 * 4; }
};

// Reads and checks the headers. Refuses with `unsupported` the variants we cannot decode (RLE is
// accepted; embedded JPEG/PNG and other header sizes are not). Does not check the dimensions
// against the limits, nor that the pixel data is all there: decoding does.
Result<BmpHeader, ImageSourceError> readBmpHeader(std::span<const uint8_t> file);

} // namespace pelorin
