// PNG row filters (None, Sub, Up, Average, Paeth) and the usual adaptive choice among them: the
// filter whose output has the smallest sum of absolute signed bytes, which is what libpng picks.
// Pure functions over caller-owned buffers; safe to call from several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace pelorin::png {

enum class RowFilter : uint8_t { none = 0, sub = 1, up = 2, average = 3, paeth = 4 };

// Writes the filter type byte and the filtered row into `out` (row.size() + 1 bytes). `prior` is
// the previous unfiltered row (all zeros for the first row); `pixelBytes` the bytes per pixel.
void filterRow(RowFilter filter, std::span<const uint8_t> row, std::span<const uint8_t> prior, size_t pixelBytes,
               uint8_t* out);

// Prices each of the five filters on the row and writes the cheapest into `out`.
void filterRowAdaptive(std::span<const uint8_t> row, std::span<const uint8_t> prior, size_t pixelBytes, uint8_t* out);

} // namespace pelorin::png
