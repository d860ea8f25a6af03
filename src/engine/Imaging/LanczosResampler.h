// LanczosResampler: scales a one-channel plane (a mask) to an exact size with a separable
// Lanczos-3 filter. Each axis is scaled independently (horizontal factor targetWidth / sourceWidth,
// vertical factor targetHeight / sourceHeight); pixel centres are aligned, the kernel widens by
// 1 / factor when an axis shrinks, edges repeat the outermost samples, and the weights of every
// output sample sum to one. Values are filtered linearly, without any transfer curve: masks are
// coverage, not colour.
//
// Sample values are read as fractions of full scale: 8-bit v as v / 255, 16-bit v as v / 65535,
// floats as they are but clamped to 0–1 (NaN reads as 1), so non-finite input never spreads.
// Float output keeps the filter's small overshoot at sharp edges; 8-bit output is
// round-half-up of 255 × v for v in 0–1, 0 below, 255 at 1 and above.
//
// Contract: make() precomputes the weight tables once per size pair; the object is immutable after
// that, cheap to copy (tables are shared), and resample() may run from several threads at once.
// resample() spreads rows over the process-wide workers (parallelFor) and only reads `source`.
#pragma once

#include "engine/Common/Result.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace pelorin {

enum class SampleFormat {
    uint8,
    uint16LittleEndian,
    uint16BigEndian,
    float32LittleEndian, // IEEE 754 single precision
    float32BigEndian,
};

// Bytes one sample of `format` occupies.
size_t sampleSize(SampleFormat format);

// One sample per pixel of a stored plane, read in place. Row y starts at y × bytesPerRow within
// `bytes`; pixel x of that row at x × bytesPerPixel. To read a component other than the pixel's
// first, start `bytes` at that component's offset.
struct PlaneView {
    std::span<const uint8_t> bytes;
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    size_t bytesPerPixel = 1;
    SampleFormat format = SampleFormat::uint8;

    // Row-major, unpadded planes held in memory (a model's output, a mask buffer).
    static PlaneView packed(std::span<const uint8_t> samples, size_t width, size_t height)
    {
        return {samples, width, height, width, 1, SampleFormat::uint8};
    }
    static PlaneView packed(std::span<const float> samples, size_t width, size_t height)
    {
        return {std::span(reinterpret_cast<const uint8_t*>(samples.data()), samples.size_bytes()),
                width,
                height,
                width * sizeof(float),
                sizeof(float),
                std::endian::native == std::endian::big ? SampleFormat::float32BigEndian
                                                        : SampleFormat::float32LittleEndian};
    }
};

class LanczosResampler {
public:
    // Fails when a size is zero or beyond the image limits (ImageLimits.h), or when the tables
    // cannot be allocated.
    static Result<LanczosResampler, std::string> make(size_t sourceWidth, size_t sourceHeight, size_t targetWidth,
                                                      size_t targetHeight);

    size_t sourceWidth() const;
    size_t sourceHeight() const;
    size_t targetWidth() const;
    size_t targetHeight() const;

    // Writes targetWidth × targetHeight samples into `target`, row-major and packed. Fails, with
    // `target` possibly half written, when `source` is not sourceWidth × sourceHeight, its rows or
    // bytes are too short for its fields, `target` is too small, or scratch memory runs out.
    Result<void, std::string> resample(const PlaneView& source, std::span<uint8_t> target) const;
    Result<void, std::string> resample(const PlaneView& source, std::span<float> target) const;

    struct Tables; // weight tables of both axes; defined where they are built

private:
    explicit LanczosResampler(std::shared_ptr<const Tables> tables) : tables_(std::move(tables)) {}

    std::shared_ptr<const Tables> tables_;
};

} // namespace pelorin
