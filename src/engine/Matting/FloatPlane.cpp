#include "engine/Matting/FloatPlane.h"

#include "engine/Common/ParallelFor.h"

#include <algorithm>
#include <cmath>

namespace pelorin {

float FloatPlane::sample(float x, float y) const
{
    x = std::clamp(x, 0.0f, float(width - 1));
    y = std::clamp(y, 0.0f, float(height - 1));
    const size_t x0 = size_t(x), y0 = size_t(y);
    const size_t x1 = std::min(x0 + 1, width - 1), y1 = std::min(y0 + 1, height - 1);
    const float fx = x - float(x0), fy = y - float(y0);
    const float top = at(x0, y0) + (at(x1, y0) - at(x0, y0)) * fx;
    const float bottom = at(x0, y1) + (at(x1, y1) - at(x0, y1)) * fx;
    return top + (bottom - top) * fy;
}

namespace {

// Clipped-window means along one row; sums in double so long rows of small values lose nothing.
void meanLine(float* line, size_t n, size_t radius, std::vector<double>& scratch)
{
    scratch.resize(n + 1);
    scratch[0] = 0.0;
    for (size_t i = 0; i < n; ++i)
        scratch[i + 1] = scratch[i] + line[i];
    for (size_t i = 0; i < n; ++i) {
        const size_t lo = i > radius ? i - radius : 0;
        const size_t hi = std::min(n, i + radius + 1);
        line[i] = float((scratch[hi] - scratch[lo]) / double(hi - lo));
    }
}

} // namespace

void boxMean(FloatPlane& plane, size_t radius)
{
    if (radius == 0 || plane.values.empty())
        return;
    parallelFor(plane.height, [&](size_t y0, size_t y1) {
        std::vector<double> scratch;
        for (size_t y = y0; y < y1; ++y)
            meanLine(plane.row(y), plane.width, radius, scratch);
    });
    // Columns in strips of adjacent columns, so each step down a row touches one cache line.
    constexpr size_t strip = 16;
    const size_t strips = (plane.width + strip - 1) / strip;
    parallelFor(strips, [&](size_t s0, size_t s1) {
        const size_t h = plane.height;
        std::vector<double> sums((h + 1) * strip);
        for (size_t s = s0; s < s1; ++s) {
            const size_t x0 = s * strip, x1 = std::min(plane.width, x0 + strip), n = x1 - x0;
            std::fill_n(sums.begin(), n, 0.0);
            for (size_t y = 0; y < h; ++y) {
                const float* row = plane.row(y);
                for (size_t i = 0; i < n; ++i)
                    sums[(y + 1) * strip + i] = sums[y * strip + i] + row[x0 + i];
            }
            for (size_t y = 0; y < h; ++y) {
                const size_t lo = y > radius ? y - radius : 0;
                const size_t hi = std::min(h, y + radius + 1);
                float* row = plane.row(y);
                for (size_t i = 0; i < n; ++i)
                    row[x0 + i] = float((sums[hi * strip + i] - sums[lo * strip + i]) / double(hi - lo));
            }
        }
    });
}

} // namespace pelorin
