// Inputs shared by the benchmarks: a 12-megapixel photograph made once from a real sample photo.
#pragma once

#include "Imaging/Image.h"

#include <filesystem>

namespace pelorin::bench {

// A 4000 × 3000 8-bit JPEG (quality 92) of a real photograph, cached in the test-data folder.
const std::filesystem::path& photo12MPJpeg();
// The same photograph decoded: 8-bit RGB, 24 bits per pixel.
const Image& photo12MP8Bit();
// The same photograph widened to 16 bits per component (RGB, little-endian).
const Image& photo12MP16Bit();
// A soft-edged 8-bit mask of 4000 × 3000 (an ellipse with a blurred rim), linear grey.
const Image& mask12MP();

} // namespace pelorin::bench
