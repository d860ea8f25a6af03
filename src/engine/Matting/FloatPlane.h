// FloatPlane: a dense width × height grid of floats, the working form of masks, guides and the
// coarse statistics the matting passes keep. Plain value; rows packed.
#pragma once

#include <cstddef>
#include <vector>

namespace pelorin {

struct FloatPlane {
    size_t width = 0;
    size_t height = 0;
    std::vector<float> values;

    FloatPlane() = default;
    FloatPlane(size_t w, size_t h) : width(w), height(h), values(w * h, 0.0f) {}

    float& at(size_t x, size_t y) { return values[y * width + x]; }
    float at(size_t x, size_t y) const { return values[y * width + x]; }
    float* row(size_t y) { return values.data() + y * width; }
    const float* row(size_t y) const { return values.data() + y * width; }

    // Bilinear read at a fractional position, clamped to the grid: the coarse passes compute on
    // cells and every full-resolution pixel reads them this way.
    float sample(float x, float y) const;
};

// Replaces each value with the mean of the square window of the given radius around it, the
// window clipped at the borders (so a border mean counts only the cells it covers). O(cells)
// whatever the radius; rows and columns are spread over the shared workers.
void boxMean(FloatPlane& plane, size_t radius);

// Where a full-resolution coordinate falls on a grid of `cell`-sized cells, in cell units, so that
// a cell's centre maps to its integer index.
inline float cellCoordinate(size_t x, size_t cell)
{
    return (float(x) + 0.5f) / float(cell) - 0.5f;
}

} // namespace pelorin
