// Inputs shared by the benchmarks: a 12-megapixel photograph made once from a real sample photo,
// its mask and cutouts, and an in-memory file for encoders to write to.
#pragma once

#include "engine/Imaging/Image.h"

#include <benchmark/benchmark.h>

#include <cstddef>
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
// What the photograph's pixels look like. The photograph is an upscaled small one, so smooth;
// `noisy` adds camera-like Gaussian noise (ImageMagick, cached beside it as a JPEG of the same
// quality); `noisyLowBytes` is `noisy` at 16 bits with pseudo-random low bytes, as a 16-bit
// source's sensor noise leaves them (8-bit images ignore it).
enum class Grain { smooth, noisy, noisyLowBytes };

// The photograph at 8 or 16 bits per component with mask12MP() as straight alpha (RGBA, made
// by withMaskAsAlpha once per depth and grain; the background's colour stays under alpha 0).
const Image& cutout12MP(size_t bitsPerComponent, Grain grain = Grain::smooth);

// An anonymous in-memory file (memfd) for encoders to write to; the descriptor is closed with it.
// Throws when the kernel refuses one. Not copyable.
class MemoryFile {
public:
    MemoryFile();
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    // Empties the file and rewinds it; returns the descriptor, ready for the next encoding.
    int rewound() const;
    // The file's size in bytes: what the last encoding wrote.
    size_t size() const;

private:
    int fd_;
};

// Counters of an encoding run: "bytes" is the file's size; throughput is of `image`'s pixel bytes.
void reportEncoding(benchmark::State& state, const Image& image, size_t fileBytes);

} // namespace pelorin::bench
