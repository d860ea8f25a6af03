#include "engine/Matting/ForegroundEstimator.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Matting/FloatPlane.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

namespace pelorin {

namespace {

// Reads and writes one RGBA component of 8 or 16 bits as a 0–1 float.
struct Components {
    size_t bytes;   // per component
    bool bigEndian; // 16-bit only

    float read(const uint8_t* p) const
    {
        if (bytes == 1)
            return p[0] * (1.0f / 255.0f);
        const unsigned v = bigEndian ? (p[0] << 8 | p[1]) : (p[1] << 8 | p[0]);
        return float(v) * (1.0f / 65535.0f);
    }
    void write(uint8_t* p, float v) const
    {
        v = std::clamp(v, 0.0f, 1.0f);
        if (bytes == 1) {
            p[0] = uint8_t(std::lround(v * 255.0f));
            return;
        }
        const auto s = uint16_t(std::lround(v * 65535.0f));
        p[bigEndian ? 0 : 1] = uint8_t(s >> 8);
        p[bigEndian ? 1 : 0] = uint8_t(s);
    }
};

// The cutout's pixels within a rectangle: colour and alpha as floats on demand.
struct CutoutView {
    const uint8_t* bytes;
    size_t bytesPerRow;
    Components component;
    const uint8_t* pixel(size_t x, size_t y) const { return bytes + y * bytesPerRow + x * 4 * component.bytes; }
    float alpha(size_t x, size_t y) const { return component.read(pixel(x, y) + 3 * component.bytes); }
    std::array<float, 3> colour(size_t x, size_t y) const
    {
        const uint8_t* p = pixel(x, y);
        return {component.read(p), component.read(p + component.bytes), component.read(p + 2 * component.bytes)};
    }
};

struct Rect {
    size_t x0, y0, x1, y1;
};

// Foreground and background means of one pass on a grid of `cell`-sized cells over the rectangle.
struct Means {
    size_t cell;
    Rect rect;
    std::array<FloatPlane, 3> foreground;
    std::array<FloatPlane, 3> background;

    std::array<float, 6> at(size_t x, size_t y) const
    {
        const float gx = cellCoordinate(x - rect.x0, cell), gy = cellCoordinate(y - rect.y0, cell);
        return {foreground[0].sample(gx, gy), foreground[1].sample(gx, gy), foreground[2].sample(gx, gy),
                background[0].sample(gx, gy), background[1].sample(gx, gy), background[2].sample(gx, gy)};
    }
};

// One blur-fusion step at a pixel: F = F̂ + a·r and B = B̂ + (1 − a)·r, with r the part of the
// observed colour that the means do not explain.
std::array<float, 6> fuse(const std::array<float, 3>& observed, float a, const std::array<float, 6>& means)
{
    std::array<float, 6> out;
    for (size_t k = 0; k < 3; ++k) {
        const float residual = observed[k] - a * means[k] - (1.0f - a) * means[3 + k];
        out[k] = std::clamp(means[k] + a * residual, 0.0f, 1.0f);
        out[3 + k] = std::clamp(means[3 + k] + (1.0f - a) * residual, 0.0f, 1.0f);
    }
    return out;
}

bool isSoft(float a)
{
    return a > 0.0f && a < 1.0f;
}

// Alpha-weighted means of F and B (from `previous`, or the observed colour on the first pass) over
// windows of `radius` cells. Pixels of cells that `active` marks 0 are left out: no soft pixel's
// window reaches them.
Means blurPass(const CutoutView& view, const Rect& rect, size_t cell, size_t radius, const Means* previous,
               const FloatPlane* active = nullptr)
{
    const size_t gw = (rect.x1 - rect.x0 + cell - 1) / cell, gh = (rect.y1 - rect.y0 + cell - 1) / cell;
    std::array<FloatPlane, 8> sums; // F·a (3), a, B·(1 − a) (3), 1 − a
    for (auto& p : sums)
        p = FloatPlane(gw, gh);
    parallelFor(gh, [&](size_t cy0, size_t cy1) {
        for (size_t cy = cy0; cy < cy1; ++cy)
            for (size_t y = rect.y0 + cy * cell; y < std::min(rect.y1, rect.y0 + (cy + 1) * cell); ++y)
                for (size_t x = rect.x0; x < rect.x1; ++x) {
                    const size_t cx = (x - rect.x0) / cell;
                    if (active && active->at(cx, cy) <= 0.0f)
                        continue;
                    const float a = view.alpha(x, y);
                    const auto observed = view.colour(x, y);
                    std::array<float, 6> fb;
                    if (previous)
                        fb = fuse(observed, a, previous->at(x, y));
                    else
                        fb = {observed[0], observed[1], observed[2], observed[0], observed[1], observed[2]};
                    for (size_t k = 0; k < 3; ++k) {
                        sums[k].at(cx, cy) += fb[k] * a;
                        sums[4 + k].at(cx, cy) += fb[3 + k] * (1.0f - a);
                    }
                    sums[3].at(cx, cy) += a;
                    sums[7].at(cx, cy) += 1.0f - a;
                }
    });
    for (auto& p : sums)
        boxMean(p, radius);
    Means means{cell, rect, {}, {}};
    for (size_t k = 0; k < 3; ++k) {
        means.foreground[k] = FloatPlane(gw, gh);
        means.background[k] = FloatPlane(gw, gh);
    }
    // A window with no foreground (or no background) weight falls back on the other mean: the
    // residual then carries the pixel's colour.
    constexpr float tiny = 1e-6f;
    for (size_t i = 0; i < gw * gh; ++i)
        for (size_t k = 0; k < 3; ++k) {
            const float wf = sums[3].values[i], wb = sums[7].values[i];
            const float f = wf > tiny ? sums[k].values[i] / wf : sums[4 + k].values[i] / std::max(wb, tiny);
            const float b = wb > tiny ? sums[4 + k].values[i] / wb : f;
            means.foreground[k].values[i] = f;
            means.background[k].values[i] = b;
        }
    return means;
}

// The rectangle around every soft pixel, widened by `margin`; empty (x1 == x0) when none is soft.
Rect softBounds(const CutoutView& view, size_t w, size_t h, size_t margin)
{
    std::vector<Rect> rows(h, Rect{w, 0, 0, 0}); // per row: x0 and x1 of its soft pixels
    parallelFor(h, [&](size_t y0, size_t y1) {
        for (size_t y = y0; y < y1; ++y)
            for (size_t x = 0; x < w; ++x)
                if (isSoft(view.alpha(x, y))) {
                    rows[y].x0 = std::min(rows[y].x0, x);
                    rows[y].x1 = x + 1;
                }
    });
    Rect r{w, h, 0, 0};
    for (size_t y = 0; y < h; ++y)
        if (rows[y].x1 != 0)
            r = Rect{std::min(r.x0, rows[y].x0), std::min(r.y0, y), std::max(r.x1, rows[y].x1), y + 1};
    if (r.x1 == 0)
        return Rect{0, 0, 0, 0};
    return Rect{r.x0 > margin ? r.x0 - margin : 0, r.y0 > margin ? r.y0 - margin : 0, std::min(w, r.x1 + margin),
                std::min(h, r.y1 + margin)};
}

// Cells of the rectangle's `cell`-sized grid within `reach` cells of one holding a soft pixel.
FloatPlane cellsNearSoftPixels(const CutoutView& view, const Rect& rect, size_t cell, size_t reach)
{
    FloatPlane cells((rect.x1 - rect.x0 + cell - 1) / cell, (rect.y1 - rect.y0 + cell - 1) / cell);
    parallelFor(cells.height, [&](size_t cy0, size_t cy1) {
        for (size_t cy = cy0; cy < cy1; ++cy)
            for (size_t y = rect.y0 + cy * cell; y < std::min(rect.y1, rect.y0 + (cy + 1) * cell); ++y)
                for (size_t x = rect.x0; x < rect.x1; ++x)
                    if (isSoft(view.alpha(x, y)))
                        cells.at((x - rect.x0) / cell, cy) = 1.0f;
    });
    boxMean(cells, reach);
    return cells;
}

// The wide pass reaches about 90 pixels past the edge, the narrow one about 6; both on cells.
constexpr size_t wideCell = 8, wideRadius = 11;
constexpr size_t narrowCell = 3, narrowRadius = 2;

Result<Image, std::string> estimateForeground(const Image& cutout)
{
    const size_t w = cutout.width(), h = cutout.height(), bpc = cutout.bitsPerComponent();
    const uint32_t info = cutout.bitmapInfo();
    if (w == 0 || h == 0 || (bpc != 8 && bpc != 16) || cutout.bitsPerPixel() != 4 * bpc
        || cutout.alphaInfo() != uint32_t(AlphaInfo::last) || BitmapInfo::hasFloatComponents(info))
        return unexpected(std::string("The cutout is not straight RGBA of 8 or 16 bits."));
    const size_t rowBytes = w * 4 * (bpc / 8);
    const auto bytes = cutout.bytes();
    if (cutout.bytesPerRow() < rowBytes || bytes.data() == nullptr
        || bytes.size() < cutout.bytesPerRow() * (h - 1) + rowBytes)
        return unexpected(std::string("The cutout's pixel data is short."));
    const CutoutView view{bytes.data(), cutout.bytesPerRow(), Components{bpc / 8, BitmapInfo::is16BitBigEndian(info)}};

    const Rect rect = softBounds(view, w, h, wideCell * wideRadius);
    if (rect.x1 == rect.x0)
        return cutout;
    const Means wide = blurPass(view, rect, wideCell, wideRadius, nullptr);
    // The narrow pass is only ever read near soft pixels; the rest of the rectangle is skipped.
    const FloatPlane near = cellsNearSoftPixels(view, rect, narrowCell, narrowRadius + 1);
    const Means narrow = blurPass(view, rect, narrowCell, narrowRadius, &wide, &near);

    PixelBlock block = PixelBlock::allocate(cutout.bytesPerRow() * h);
    if (block.empty())
        return unexpected(std::string("Not enough memory for the cutout."));
    std::memcpy(block.data(), bytes.data(), block.size());
    uint8_t* out = block.data();
    parallelFor(rect.y1 - rect.y0, [&](size_t r0, size_t r1) {
        for (size_t y = rect.y0 + r0; y < rect.y0 + r1; ++y)
            for (size_t x = rect.x0; x < rect.x1; ++x) {
                const float a = view.alpha(x, y);
                if (!isSoft(a))
                    continue;
                const auto f = fuse(view.colour(x, y), a, narrow.at(x, y));
                uint8_t* p = out + y * cutout.bytesPerRow() + x * 4 * view.component.bytes;
                for (size_t k = 0; k < 3; ++k)
                    view.component.write(p + k * view.component.bytes, f[k]);
            }
    });
    auto provider = DataProvider::make(std::move(block));
    return Image(cutout.format(), cutout.colorSpace(), std::move(provider), cutout.shouldInterpolate(),
                 cutout.renderingIntent());
}

} // namespace

Result<Image, std::string> ForegroundEstimator::estimate(const Image& cutout) const
{
    try {
        return estimateForeground(cutout);
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("Not enough memory to estimate the foreground colour."));
    }
}

} // namespace pelorin
