// Edge quality with and without refinement, against ground truth, for bench/quality/run.
//
//   pelorin_quality_bench SET_DIR [--config RADIUS:EPSILON:SNAP:REACH]...
//     SET_DIR holds images/NAME.*, gt/NAME.png (ground-truth mask or alpha) and optionally
//     fg/NAME.png (ground-truth foreground colour). Each photo is segmented once; the model's
//     mask, then the refined mask of each configuration (default: the shipped parameters), are
//     scored. Prints one tab-separated row per variant with the set's means.
//   pelorin_quality_bench --cost PHOTO...
//     Times each stage of one job on each photo (decode, mask, composite, PNG encode, refinement,
//     foreground estimation) and prints what refining adds to the job.
//
// Metrics: masks are thresholded at 0.5 for IoU and for the boundary F-measure (boundary pixels
// within 2 px count as matched); MAE, SAD (sum of |a − g| / 1000), MSE and the gradient error
// (Gaussian derivatives, σ = 1.4, sum of squared magnitude differences / 1000) compare the soft
// values over the whole image (no trimap). Fringe: the cutout composited on black and on white
// against the ground-truth foreground composited the same way, mean absolute difference in 8-bit
// levels over pixels within 10 px of the ground-truth boundary; without fg/, the photo's own colour
// stands in for the foreground (exact wherever the ground truth is fully opaque).
#include "engine/Extensions/ImageAlpha.h"
#include "engine/Extensions/ImageIO.h"
#include "engine/Imaging/ImageSource.h"
#include "engine/Imaging/RowNormalizer.h"
#include "engine/Matting/EdgeRefiner.h"
#include "engine/Matting/ForegroundEstimator.h"
#include "engine/Services/BackgroundRemover.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace pelorin;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::optional<Image> load(const fs::path& file)
{
    auto source = ImageSource::open(file);
    if (!source)
        return std::nullopt;
    auto image = (*source)->createImage();
    if (!image)
        return std::nullopt;
    return std::move(image).value();
}

// Channels of an image as 0–1 floats, interleaved: grey → 1, RGB(A) → 3 (alpha dropped unless asked).
std::vector<float> channels(const Image& image, size_t& count, bool keepAlpha = false)
{
    auto normalizer = RowNormalizer::make(image);
    if (!normalizer)
        return {};
    const size_t stride = normalizer->channels(), bytes = normalizer->bitsPerComponent() / 8;
    count = keepAlpha ? stride : normalizer->colorChannels();
    std::vector<uint8_t> raw(normalizer->outputRowBytes());
    std::vector<float> out(image.width() * image.height() * count);
    const float scale = bytes == 2 ? 1.0f / 65535 : 1.0f / 255;
    for (size_t y = 0; y < image.height(); ++y) {
        normalizer->convertRow(y, raw);
        for (size_t x = 0; x < image.width(); ++x)
            for (size_t c = 0; c < count; ++c) {
                const size_t i = x * stride + c;
                uint16_t v = raw[i];
                if (bytes == 2)
                    std::memcpy(&v, raw.data() + 2 * i, 2);
                out[(y * image.width() + x) * count + c] = v * scale;
            }
    }
    return out;
}

std::vector<float> plane(const Image& image)
{
    size_t count = 0;
    auto all = channels(image, count);
    std::vector<float> first(image.width() * image.height());
    for (size_t i = 0; i < first.size(); ++i)
        first[i] = all[i * count];
    return first;
}

std::vector<uint8_t> boundary(const std::vector<float>& m, size_t w, size_t h)
{
    std::vector<uint8_t> b(w * h);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            const bool in = m[y * w + x] >= 0.5f;
            const auto differs = [&](size_t xx, size_t yy) { return (m[yy * w + xx] >= 0.5f) != in; };
            b[y * w + x] = (x > 0 && differs(x - 1, y)) || (x + 1 < w && differs(x + 1, y))
                || (y > 0 && differs(x, y - 1)) || (y + 1 < h && differs(x, y + 1));
        }
    return b;
}

std::vector<uint8_t> dilate(const std::vector<uint8_t>& b, size_t w, size_t h, int r, bool disk)
{
    std::vector<uint8_t> out(w * h);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            if (!b[y * w + x])
                continue;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    const long xx = long(x) + dx, yy = long(y) + dy;
                    if ((!disk || dx * dx + dy * dy <= r * r) && xx >= 0 && yy >= 0 && xx < long(w) && yy < long(h))
                        out[yy * w + xx] = 1;
                }
        }
    return out;
}

std::vector<float> gradientMagnitude(const std::vector<float>& m, size_t w, size_t h)
{
    constexpr float sigma = 1.4f;
    constexpr int r = 5;
    float g[2 * r + 1], d[2 * r + 1];
    for (int i = -r; i <= r; ++i) {
        g[i + r] = std::exp(-i * i / (2 * sigma * sigma));
        d[i + r] = -i * g[i + r] / (sigma * sigma);
    }
    const auto at = [&](const std::vector<float>& v, long x, long y) {
        return v[std::clamp<long>(y, 0, long(h) - 1) * w + std::clamp<long>(x, 0, long(w) - 1)];
    };
    std::vector<float> gx(w * h), gy(w * h), tx(w * h), ty(w * h), out(w * h);
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            float sx = 0, sy = 0;
            for (int i = -r; i <= r; ++i) {
                sx += d[i + r] * at(m, long(x) + i, long(y));
                sy += g[i + r] * at(m, long(x) + i, long(y));
            }
            tx[y * w + x] = sx;
            ty[y * w + x] = sy;
        }
    for (size_t y = 0; y < h; ++y)
        for (size_t x = 0; x < w; ++x) {
            float sx = 0, sy = 0;
            for (int i = -r; i <= r; ++i) {
                sx += g[i + r] * at(tx, long(x), long(y) + i);
                sy += d[i + r] * at(ty, long(x), long(y) + i);
            }
            out[y * w + x] = std::hypot(sx, sy);
        }
    return out;
}

struct Scores {
    double mae = 0, iou = 0, bf = 0, sad = 0, mse = 0, grad = 0, fringe = 0, refineMs = 0, foregroundMs = 0;
    void add(const Scores& s)
    {
        mae += s.mae, iou += s.iou, bf += s.bf, sad += s.sad, mse += s.mse, grad += s.grad, fringe += s.fringe;
        refineMs += s.refineMs, foregroundMs += s.foregroundMs;
    }
};

Scores score(const std::vector<float>& a, const std::vector<float>& g, const std::vector<float>& cutout,
             const std::vector<float>& foreground, size_t w, size_t h)
{
    Scores s;
    const size_t n = w * h;
    double inter = 0, uni = 0;
    for (size_t i = 0; i < n; ++i) {
        const double e = a[i] - g[i];
        s.mae += std::abs(e);
        s.mse += e * e;
        const bool pa = a[i] >= 0.5f, pg = g[i] >= 0.5f;
        inter += pa && pg;
        uni += pa || pg;
    }
    s.sad = s.mae / 1000;
    s.mae /= n;
    s.mse /= n;
    s.iou = uni > 0 ? inter / uni : 1;
    const auto ba = boundary(a, w, h), bg = boundary(g, w, h);
    const auto da = dilate(ba, w, h, 2, true), dg = dilate(bg, w, h, 2, true);
    double hitP = 0, nP = 0, hitR = 0, nR = 0;
    for (size_t i = 0; i < n; ++i) {
        nP += ba[i], hitP += ba[i] && dg[i];
        nR += bg[i], hitR += bg[i] && da[i];
    }
    const double p = nP > 0 ? hitP / nP : 1, r = nR > 0 ? hitR / nR : 1;
    s.bf = p + r > 0 ? 2 * p * r / (p + r) : 0;
    const auto ga = gradientMagnitude(a, w, h), gg = gradientMagnitude(g, w, h);
    for (size_t i = 0; i < n; ++i)
        s.grad += (ga[i] - gg[i]) * (ga[i] - gg[i]);
    s.grad /= 1000;
    // Composites on black (a·F) and white (a·F + 1 − a) near the true boundary.
    const auto near = dilate(bg, w, h, 10, false);
    double fringe = 0, count = 0;
    for (size_t i = 0; i < n; ++i) {
        if (!near[i])
            continue;
        const float oa = cutout[i * 4 + 3];
        for (size_t c = 0; c < 3; ++c) {
            const float ours = oa * cutout[i * 4 + c], truth = g[i] * foreground[i * 3 + c];
            fringe += std::abs(ours - truth) + std::abs(ours + (1 - oa) - truth - (1 - g[i]));
            count += 2;
        }
    }
    s.fringe = count > 0 ? 255 * fringe / count : 0;
    return s;
}

void print(const char* label, const Scores& s, size_t n)
{
    std::printf("%-22s\t%.4f\t%.4f\t%.4f\t%.2f\t%.5f\t%.2f\t%.2f\t%.1f\t%.1f\n", label, s.mae / n, s.iou / n, s.bf / n,
                s.sad / n, s.mse / n, s.grad / n, s.fringe / n, s.refineMs / n, s.foregroundMs / n);
}

int quality(const fs::path& set, std::vector<EdgeRefinementParameters> configs)
{
    std::vector<fs::path> photos;
    for (const auto& entry : fs::directory_iterator(set / "images"))
        photos.push_back(entry.path());
    std::sort(photos.begin(), photos.end());
    // Rows: the model's mask, each configuration, then each half of the first one alone.
    std::vector<Scores> totals(configs.size() + 3);
    size_t scored = 0;
    for (const auto& file : photos) {
        const auto stem = file.stem().string();
        const auto photo = load(file);
        const auto truth = load(set / "gt" / (stem + ".png"));
        if (!photo || !truth || truth->width() != photo->width() || truth->height() != photo->height()) {
            std::fprintf(stderr, "%s: skipped (unreadable or sizes differ)\n", stem.c_str());
            continue;
        }
        const size_t w = photo->width(), h = photo->height();
        const auto fgImage = load(set / "fg" / (stem + ".png"));
        size_t count = 0;
        const auto foreground = channels(fgImage ? *fgImage : *photo, count);
        const auto g = plane(*truth);
        auto mask = BackgroundRemover().generateMask(*photo);
        if (!mask) {
            std::fprintf(stderr, "%s: %s\n", stem.c_str(), mask.error().description().c_str());
            continue;
        }
        const auto evaluate = [&](const Image& m, const Image& cutout, Scores& total, double refineMs,
                                  double foregroundMs) {
            size_t four = 0;
            auto s = score(plane(m), g, channels(cutout, four, true), foreground, w, h);
            s.refineMs = refineMs, s.foregroundMs = foregroundMs;
            total.add(s);
        };
        const auto plain = withMaskAsAlpha(*photo, *mask).value();
        evaluate(*mask, plain, totals[0], 0, 0);
        auto start = Clock::now();
        const auto estimatedOnly = ForegroundEstimator().estimate(plain).value();
        evaluate(*mask, estimatedOnly, totals[configs.size() + 2], 0, msSince(start));
        for (size_t c = 0; c < configs.size(); ++c) {
            start = Clock::now();
            const auto refined = EdgeRefiner(configs[c]).refine(*photo, *mask);
            const double refineMs = msSince(start);
            const auto cutout = withMaskAsAlpha(*photo, refined.value()).value();
            start = Clock::now();
            const auto estimated = ForegroundEstimator().estimate(cutout);
            const double foregroundMs = msSince(start);
            evaluate(refined.value(), estimated.value(), totals[c + 1], refineMs, foregroundMs);
            if (c == 0)
                evaluate(refined.value(), cutout, totals[configs.size() + 1], refineMs, 0);
        }
        ++scored;
    }
    std::printf("set %s: %zu images\nvariant               \tMAE\tIoU\tBF@2px\tSAD\tMSE\tGrad\tFringe\tref ms\tfg ms\n",
                set.filename().c_str(), scored);
    print("unrefined", totals[0], scored);
    for (size_t c = 0; c < configs.size(); ++c) {
        char label[64];
        std::snprintf(label, sizeof label, "r=%zu e=%g snap=%g reach=%zu", configs[c].radius, configs[c].epsilon,
                      configs[c].snap, configs[c].reach);
        print(label, totals[c + 1], scored);
    }
    print("first, mask only", totals[configs.size() + 1], scored);
    print("foreground only", totals[configs.size() + 2], scored);
    return scored > 0 ? 0 : 1;
}

int cost(int argc, char** argv)
{
    for (int i = 0; i < argc; ++i) {
        auto start = Clock::now();
        const auto photo = load(argv[i]);
        const double decode = msSince(start);
        if (!photo)
            return 1;
        start = Clock::now();
        auto mask = BackgroundRemover().generateMask(*photo);
        const double maskMs = msSince(start);
        if (!mask)
            return 1;
        start = Clock::now();
        auto cutout = withMaskAsAlpha(*photo, *mask);
        const double composite = msSince(start);
        const auto out = fs::temp_directory_path() / "pelorin-quality-cost.png";
        start = Clock::now();
        (void)write(cutout.value(), out, OutputFormat::png, std::nullopt);
        const double encode = msSince(start);
        fs::remove(out);
        start = Clock::now();
        const auto refined = EdgeRefiner().refine(*photo, *mask);
        const double refine = msSince(start);
        const auto refinedCutout = withMaskAsAlpha(*photo, refined.value());
        start = Clock::now();
        const auto estimated = ForegroundEstimator().estimate(refinedCutout.value());
        const double foreground = msSince(start);
        const double job = decode + maskMs + composite + encode;
        std::printf("%s %zux%zu: decode %.0f ms, mask %.0f ms, composite %.0f ms, png %.0f ms (job %.0f ms); "
                    "refine %.0f ms, foreground %.0f ms = %.1f %% of the job\n",
                    argv[i], photo->width(), photo->height(), decode, maskMs, composite, encode, job, refine,
                    foreground, 100 * (refine + foreground) / job);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--cost") == 0)
        return cost(argc - 2, argv + 2);
    if (argc < 2) {
        std::fprintf(
            stderr, "usage: pelorin_quality_bench SET_DIR [--config RADIUS:EPSILON:SNAP:REACH]... | --cost PHOTO...\n");
        return 2;
    }
    std::vector<EdgeRefinementParameters> configs;
    for (int i = 2; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--config") == 0) {
            EdgeRefinementParameters p;
            std::sscanf(argv[i + 1], "%zu:%f:%f:%zu", &p.radius, &p.epsilon, &p.snap, &p.reach);
            configs.push_back(p);
        }
    if (configs.empty())
        configs.push_back({});
    return quality(argv[1], configs);
}
