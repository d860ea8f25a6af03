// HeifContainer: what a HEIF file's 'meta' box declares about its items (type, stated size,
// codec configuration, where the data is) read without decoding anything. libheif sizes its
// canvases and hands coded streams to its decoders before it compares any of that with the
// container, so HeifDecoder reads these first and refuses a damaged file before it costs
// gigabytes.
//
// The reader is lenient: what it cannot parse is left out rather than failing the whole file,
// and callers treat a missing piece as "unknown", never as "fine".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorin {

struct PixelSize {
    uint32_t width = 0;
    uint32_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

struct HeifProperty {
    std::string type; // "hvcC" or "av1C"
    std::span<const uint8_t> body;
};

struct HeifItem {
    uint32_t id = 0;
    std::string type;                              // four characters: "hvc1", "grid", "iovl", "av01"…
    std::optional<PixelSize> statedSize;           // its 'ispe' property
    std::vector<HeifProperty> configurations;      // its 'hvcC' and 'av1C' properties
    std::vector<std::span<const uint8_t>> extents; // where its data lies in the file, in order
    bool dataLocated = false;                      // every extent was found inside the file
};

// The first `limit` bytes of the item's data, its extents joined.
std::vector<uint8_t> joinedData(const HeifItem& item, size_t limit);

struct HeifContainer {
    uint32_t primaryItemId = 0;
    std::vector<HeifItem> items;

    const HeifItem* item(uint32_t id) const;
};

// Absent when the file has no top-level 'meta' box with a primary item. Extents are located only
// for coded and derived images (hvc1, hev1, av01, grid, iovl); metadata items are not needed
// here. The views point into `file`, which must outlive the result.
std::optional<HeifContainer> readHeifContainer(std::span<const uint8_t> file);

// The canvas a 'grid' or 'iovl' item's data declares; absent for other types or short data.
std::optional<PixelSize> derivedImageCanvas(const HeifItem& item);

} // namespace pelorin
