#include "engine/Matting/EdgeRefiner.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/RowNormalizer.h"
#include "engine/Matting/FloatPlane.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace pelorin {

namespace {

// The photo's colour, one row at a time, as 0–1 floats: 1 channel for grey, 3 for RGB.
class GuideReader {
public:
    explicit GuideReader(RowNormalizer normalizer)
        : normalizer_(std::move(normalizer)),
          channels_(normalizer_.colorChannels()),
          scale_(normalizer_.bitsPerComponent() == 16 ? 1.0f / 65535.0f : 1.0f / 255.0f)
    {
    }

    size_t channels() const { return channels_; }

    // Row y as width × channels() floats; `raw` is this thread's conversion buffer.
    void read(size_t y, std::vector<uint8_t>& raw, std::vector<float>& out) const
    {
        raw.resize(normalizer_.outputRowBytes());
        normalizer_.convertRow(y, raw);
        const size_t stride = normalizer_.channels();
        const size_t width = raw.size() / (stride * (normalizer_.bitsPerComponent() / 8));
        out.resize(width * channels_);
        for (size_t x = 0; x < width; ++x)
            for (size_t c = 0; c < channels_; ++c) {
                const size_t i = x * stride + c;
                float v;
                if (normalizer_.bitsPerComponent() == 16) {
                    uint16_t s;
                    std::memcpy(&s, raw.data() + 2 * i, 2);
                    v = s;
                } else {
                    v = raw[i];
                }
                out[x * channels_ + c] = v * scale_;
            }
    }

private:
    RowNormalizer normalizer_;
    size_t channels_;
    float scale_;
};

// The guided filter's statistics on the coarse grid for a guide of C channels (1 or 3).
template <size_t C>
struct Coefficients {
    std::array<FloatPlane, C> a;
    FloatPlane b;
};

// a and b of the local linear model mask ≈ a·I + b, solved per cell over the window and then
// averaged over it, as the guided filter does.
template <size_t C>
Coefficients<C> solve(const std::array<FloatPlane, C>& guide, const FloatPlane& mask, size_t radius, float epsilon)
{
    const size_t w = mask.width, h = mask.height;
    constexpr size_t pairs = C * (C + 1) / 2;
    std::array<FloatPlane, C> meanI = guide, meanIp;
    std::array<FloatPlane, pairs> meanII;
    FloatPlane meanP = mask;
    for (size_t k = 0; k < C; ++k) {
        meanIp[k] = FloatPlane(w, h);
        for (size_t i = 0; i < w * h; ++i)
            meanIp[k].values[i] = guide[k].values[i] * mask.values[i];
    }
    for (size_t j = 0, pair = 0; j < C; ++j)
        for (size_t k = j; k < C; ++k, ++pair) {
            meanII[pair] = FloatPlane(w, h);
            for (size_t i = 0; i < w * h; ++i)
                meanII[pair].values[i] = guide[j].values[i] * guide[k].values[i];
        }
    for (auto& p : meanI)
        boxMean(p, radius);
    for (auto& p : meanIp)
        boxMean(p, radius);
    for (auto& p : meanII)
        boxMean(p, radius);
    boxMean(meanP, radius);

    Coefficients<C> out;
    for (auto& p : out.a)
        p = FloatPlane(w, h);
    out.b = FloatPlane(w, h);
    parallelFor(h, [&](size_t y0, size_t y1) {
        for (size_t i = y0 * w; i < y1 * w; ++i) {
            std::array<double, C> mu, cov, a;
            for (size_t k = 0; k < C; ++k) {
                mu[k] = meanI[k].values[i];
                cov[k] = meanIp[k].values[i] - mu[k] * meanP.values[i];
            }
            std::array<std::array<double, C>, C> sigma;
            for (size_t j = 0, pair = 0; j < C; ++j)
                for (size_t k = j; k < C; ++k, ++pair)
                    sigma[j][k] = sigma[k][j] = meanII[pair].values[i] - mu[j] * mu[k];
            for (size_t k = 0; k < C; ++k)
                sigma[k][k] += epsilon;
            if constexpr (C == 1) {
                a[0] = cov[0] / sigma[0][0];
            } else {
                // The symmetric 3 × 3 inverse by cofactors; epsilon keeps it positive definite.
                const auto& s = sigma;
                const double c00 = s[1][1] * s[2][2] - s[1][2] * s[2][1];
                const double c01 = s[0][2] * s[2][1] - s[0][1] * s[2][2];
                const double c02 = s[0][1] * s[1][2] - s[0][2] * s[1][1];
                const double c11 = s[0][0] * s[2][2] - s[0][2] * s[2][0];
                const double c12 = s[0][2] * s[1][0] - s[0][0] * s[1][2];
                const double c22 = s[0][0] * s[1][1] - s[0][1] * s[1][0];
                const double det = s[0][0] * c00 + s[0][1] * (s[1][2] * s[2][0] - s[1][0] * s[2][2])
                    + s[0][2] * (s[1][0] * s[2][1] - s[1][1] * s[2][0]);
                a[0] = (c00 * cov[0] + c01 * cov[1] + c02 * cov[2]) / det;
                a[1] = (c01 * cov[0] + c11 * cov[1] + c12 * cov[2]) / det;
                a[2] = (c02 * cov[0] + c12 * cov[1] + c22 * cov[2]) / det;
            }
            double b = meanP.values[i];
            for (size_t k = 0; k < C; ++k) {
                out.a[k].values[i] = float(a[k]);
                b -= a[k] * mu[k];
            }
            out.b.values[i] = float(b);
        }
    });
    for (auto& p : out.a)
        boxMean(p, radius);
    boxMean(out.b, radius);
    return out;
}

// Cells within `reach` cells of one holding a soft mask value or both clear and opaque pixels.
FloatPlane boundaryCells(const uint8_t* mask, size_t maskRow, size_t w, size_t h, size_t cell, size_t gw, size_t gh,
                         size_t reach)
{
    FloatPlane band(gw, gh);
    parallelFor(gh, [&](size_t cy0, size_t cy1) {
        std::vector<uint8_t> lo(gw), hi(gw);
        for (size_t cy = cy0; cy < cy1; ++cy) {
            std::fill(lo.begin(), lo.end(), 255);
            std::fill(hi.begin(), hi.end(), 0);
            for (size_t y = cy * cell; y < std::min(h, (cy + 1) * cell); ++y) {
                const uint8_t* row = mask + y * maskRow;
                for (size_t x = 0; x < w; ++x) {
                    const size_t cx = x / cell;
                    lo[cx] = std::min(lo[cx], row[x]);
                    hi[cx] = std::max(hi[cx], row[x]);
                }
            }
            for (size_t cx = 0; cx < gw; ++cx)
                band.at(cx, cy) = hi[cx] > 0 && lo[cx] < 255 ? 1.0f : 0.0f;
        }
    });
    boxMean(band, reach);
    return band;
}

struct Grid {
    size_t cell;
    size_t width;
    size_t height;
};

template <size_t C>
void refineWith(const GuideReader& reader, const uint8_t* mask, size_t maskRow, size_t w, size_t h, const Grid& grid,
                const FloatPlane& band, const EdgeRefinementParameters& parameters, uint8_t* out)
{
    const size_t cell = grid.cell, gw = grid.width, gh = grid.height;
    // Cell averages of the photo and the mask.
    std::array<FloatPlane, C> guide;
    for (auto& p : guide)
        p = FloatPlane(gw, gh);
    FloatPlane coarseMask(gw, gh);
    parallelFor(gh, [&](size_t cy0, size_t cy1) {
        std::vector<uint8_t> raw;
        std::vector<float> row;
        for (size_t cy = cy0; cy < cy1; ++cy) {
            const size_t y0 = cy * cell, y1 = std::min(h, y0 + cell);
            for (size_t y = y0; y < y1; ++y) {
                reader.read(y, raw, row);
                const uint8_t* m = mask + y * maskRow;
                for (size_t x = 0; x < w; ++x) {
                    const size_t cx = x / cell;
                    for (size_t k = 0; k < C; ++k)
                        guide[k].at(cx, cy) += row[x * C + k];
                    coarseMask.at(cx, cy) += m[x] * (1.0f / 255.0f);
                }
            }
            for (size_t cx = 0; cx < gw; ++cx) {
                const float area = float((y1 - y0) * (std::min(w, (cx + 1) * cell) - cx * cell));
                for (size_t k = 0; k < C; ++k)
                    guide[k].at(cx, cy) /= area;
                coarseMask.at(cx, cy) /= area;
            }
        }
    });

    const auto coefficients = solve<C>(guide, coarseMask, parameters.radius, parameters.epsilon);

    parallelFor(h, [&](size_t y0, size_t y1) {
        std::vector<uint8_t> raw;
        std::vector<float> row;
        for (size_t y = y0; y < y1; ++y) {
            const uint8_t* m = mask + y * maskRow;
            uint8_t* o = out + y * w;
            std::memcpy(o, m, w);
            const size_t cy = y / cell;
            const float* bandRow = band.row(cy);
            if (std::none_of(bandRow, bandRow + gw, [](float v) { return v > 0.0f; }))
                continue;
            reader.read(y, raw, row);
            const float gy = cellCoordinate(y, cell);
            for (size_t x = 0; x < w; ++x) {
                if (bandRow[x / cell] <= 0.0f)
                    continue;
                const float gx = cellCoordinate(x, cell);
                float q = coefficients.b.sample(gx, gy);
                for (size_t k = 0; k < C; ++k)
                    q += coefficients.a[k].sample(gx, gy) * row[x * C + k];
                q = (q - parameters.snap) / (1.0f - 2.0f * parameters.snap);
                o[x] = uint8_t(std::lround(std::clamp(q, 0.0f, 1.0f) * 255.0f));
            }
        }
    });
}

Result<Image, std::string> refineMask(const Image& photo, const Image& mask, const EdgeRefinementParameters& parameters)
{
    const size_t w = photo.width(), h = photo.height();
    if (w == 0 || h == 0)
        return unexpected(std::string("The photo has no pixels."));
    if (mask.width() != w || mask.height() != h)
        return unexpected(std::string("The mask is not the photo's size."));
    if (mask.bitsPerComponent() != 8 || mask.bitsPerPixel() != 8 || mask.bytesPerRow() < w)
        return unexpected(std::string("The mask is not an 8-bit one-component plane."));
    const auto maskBytes = mask.bytes();
    if (maskBytes.data() == nullptr || maskBytes.size() < mask.bytesPerRow() * (h - 1) + w)
        return unexpected(std::string("The mask's pixel data is short."));
    auto normalizer = RowNormalizer::make(photo);
    if (!normalizer)
        return unexpected(normalizer.error());
    const GuideReader reader(std::move(normalizer).value());

    const size_t longer = std::max(w, h);
    if (longer <= parameters.gridSize)
        return mask;
    const size_t cell = std::max<size_t>(1, (longer + parameters.gridSize - 1) / parameters.gridSize);
    const Grid grid{cell, (w + cell - 1) / cell, (h + cell - 1) / cell};
    const FloatPlane band =
        boundaryCells(maskBytes.data(), mask.bytesPerRow(), w, h, cell, grid.width, grid.height, parameters.reach);
    if (std::none_of(band.values.begin(), band.values.end(), [](float v) { return v > 0.0f; }))
        return mask;

    PixelBlock block = PixelBlock::allocate(w * h);
    if (block.empty())
        return unexpected(std::string("Not enough memory for the refined mask."));
    if (reader.channels() == 3)
        refineWith<3>(reader, maskBytes.data(), mask.bytesPerRow(), w, h, grid, band, parameters, block.data());
    else
        refineWith<1>(reader, maskBytes.data(), mask.bytesPerRow(), w, h, grid, band, parameters, block.data());
    auto provider = DataProvider::make(std::move(block));
    return Image(ImageFormat{w, h, 8, 8, w, BitmapInfo::make(AlphaInfo::none)}, linearGrayColorSpace(),
                 std::move(provider), false, RenderingIntent::defaultIntent);
}

} // namespace

Result<Image, std::string> EdgeRefiner::refine(const Image& photo, const Image& mask) const
{
    try {
        return refineMask(photo, mask, parameters_);
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("Not enough memory to refine the mask."));
    }
}

} // namespace pelorin
