#include "engine/Imaging/LanczosResampler.h"

#include "engine/Common/ParallelFor.h"
#include "engine/Imaging/ImageLimits.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelorin {

namespace {

constexpr double lobes = 3.0;

double lanczos3(double x)
{
    x = std::fabs(x);
    if (x >= lobes)
        return 0.0;
    if (x == 0.0)
        return 1.0;
    // Exact zeros at the other integers, so an unscaled axis copies its samples bit for bit.
    if (x == std::floor(x))
        return 0.0;
    const double px = std::numbers::pi * x;
    return lobes * std::sin(px) * std::sin(px / lobes) / (px * px);
}

// The filter of one axis: output i is the sum over k < count[i] of
// weights[i × stride + k] × sample[first[i] + k]. Weight rows are zero-padded to `stride`, the
// widest window rounded up to whole vectors, so the horizontal kernel runs fixed-length loops;
// rows it reads carry `stride` zeros past their end for the same reason.
struct Axis {
    size_t sourceSize = 0;
    size_t targetSize = 0;
    size_t taps = 0;   // widest window
    size_t stride = 0; // taps rounded up to a multiple of 4
    std::vector<uint32_t> first;
    std::vector<uint32_t> count;
    std::vector<float> weights;
};

Axis buildAxis(size_t source, size_t target)
{
    Axis axis;
    axis.sourceSize = source;
    axis.targetSize = target;
    const double scale = double(source) / double(target); // source pixels per target pixel
    const double stretch = std::max(scale, 1.0);          // widen the kernel when shrinking
    const double support = lobes * stretch;
    const size_t bound = std::min<size_t>(source, size_t(2.0 * support) + 3);

    std::vector<double> folded(bound);
    std::vector<float> weights(target * bound, 0.0f);
    axis.first.resize(target);
    axis.count.resize(target);
    const auto last = int64_t(source) - 1;
    for (size_t i = 0; i < target; ++i) {
        // The taps are the samples whose centres lie strictly inside the support; the window
        // bounds grow with i, which the row ring of the horizontal-first order relies on.
        const double center = (double(i) + 0.5) * scale;
        const auto lo = int64_t(std::floor(center - support - 0.5)) + 1;
        const auto hi = int64_t(std::ceil(center + support - 0.5)) - 1;
        const int64_t start = std::clamp<int64_t>(lo, 0, last);
        const int64_t end = std::clamp<int64_t>(hi, 0, last);
        std::fill(folded.begin(), folded.end(), 0.0);
        double total = 0.0;
        // Taps beyond an edge land on the edge sample: the plane continues with its border.
        for (int64_t j = lo; j <= hi; ++j) {
            const double w = lanczos3((double(j) + 0.5 - center) / stretch);
            folded[size_t(std::clamp(j, start, end) - start)] += w;
            total += w;
        }
        const size_t count = size_t(end - start) + 1;
        axis.first[i] = uint32_t(start);
        axis.count[i] = uint32_t(count);
        for (size_t k = 0; k < count; ++k)
            weights[i * bound + k] = float(folded[k] / total);
        axis.taps = std::max(axis.taps, count);
    }
    axis.stride = (axis.taps + 3) / 4 * 4;
    axis.weights.assign(target * axis.stride, 0.0f);
    for (size_t i = 0; i < target; ++i)
        std::copy_n(&weights[i * bound], axis.taps, &axis.weights[i * axis.stride]);
    return axis;
}

// Four floats through the compiler's generic vectors: one SSE or NEON register on every target we
// build for, so nothing spills (wider generic vectors are split through the stack without AVX).
using Vec4 = float __attribute__((vector_size(16)));
using Vec4i = int32_t __attribute__((vector_size(16)));
// The same at any float's address: rows are not 16-byte aligned.
using Vec4u = float __attribute__((vector_size(16), aligned(4), may_alias));

// References, not values, so no vector crosses a call boundary.
inline const Vec4u& vec4At(const float* p)
{
    return *reinterpret_cast<const Vec4u*>(p);
}
inline void store4(float* p, const Vec4& v)
{
    *reinterpret_cast<Vec4u*>(p) = v;
}

// v clamped to 0–1 with NaN as 1: both tests fail for NaN.
inline float unitClamp(float v)
{
    return v < 1.0f ? (v > 0.0f ? v : 0.0f) : 1.0f;
}
inline Vec4 unitClamp(const Vec4& v)
{
    const Vec4 zero = {}, one = zero + 1.0f;
    return v < one ? (v > zero ? v : zero) : one;
}

// 255 × v rounded half up, for v clamped to 0–1 as above.
inline uint8_t toByte(float v)
{
    return uint8_t(unitClamp(v) * 255.0f + 0.5f);
}
inline Vec4i toBytes(const Vec4& v)
{
    return __builtin_convertvector(unitClamp(v) * 255.0f + 0.5f, Vec4i);
}

// Sixteen results, each already in 0–255, narrowed to bytes.
inline void storeBytes(uint8_t* p, const Vec4& a, const Vec4& b, const Vec4& c, const Vec4& d)
{
#if defined(__SSE2__)
    const __m128i ab = _mm_packs_epi32(__m128i(toBytes(a)), __m128i(toBytes(b)));
    const __m128i cd = _mm_packs_epi32(__m128i(toBytes(c)), __m128i(toBytes(d)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(ab, cd));
#else
    const Vec4i q[4] = {toBytes(a), toBytes(b), toBytes(c), toBytes(d)};
    for (int i = 0; i < 16; ++i)
        p[i] = uint8_t(q[i / 4][i % 4]);
#endif
}

inline void store16(float* p, const Vec4& a, const Vec4& b, const Vec4& c, const Vec4& d)
{
    store4(p, a);
    store4(p + 4, b);
    store4(p + 8, c);
    store4(p + 12, d);
}
inline void store16(uint8_t* p, const Vec4& a, const Vec4& b, const Vec4& c, const Vec4& d)
{
    storeBytes(p, a, b, c, d);
}
inline void storeOne(float* p, float v)
{
    *p = v;
}
inline void storeOne(uint8_t* p, float v)
{
    *p = toByte(v);
}

// Reads row y of `plane` as fractions of full scale.
void readRow(const PlaneView& plane, size_t y, float* out)
{
    const uint8_t* row = plane.bytes.data() + y * plane.bytesPerRow;
    const size_t step = plane.bytesPerPixel;
    const size_t width = plane.width;
    switch (plane.format) {
    case SampleFormat::uint8: {
        constexpr float unit = 1.0f / 255.0f;
        size_t x = 0;
        if (step == 1)
            for (; x + 4 <= width; x += 4) {
                const Vec4i v = {row[x], row[x + 1], row[x + 2], row[x + 3]};
                store4(out + x, __builtin_convertvector(v, Vec4) * unit);
            }
        for (; x < width; ++x)
            out[x] = float(row[x * step]) * unit;
        break;
    }
    case SampleFormat::uint16LittleEndian:
    case SampleFormat::uint16BigEndian: {
        constexpr float unit = 1.0f / 65535.0f;
        const size_t hi = plane.format == SampleFormat::uint16BigEndian ? 0 : 1;
        for (size_t x = 0; x < width; ++x) {
            const uint8_t* s = row + x * step;
            out[x] = float((unsigned(s[hi]) << 8) | s[1 - hi]) * unit;
        }
        break;
    }
    case SampleFormat::float32LittleEndian:
    case SampleFormat::float32BigEndian: {
        const bool swap = (plane.format == SampleFormat::float32BigEndian) != (std::endian::native == std::endian::big);
        size_t x = 0;
        if (step == 4 && !swap)
            for (; x + 4 <= width; x += 4) {
                Vec4 v;
                std::memcpy(&v, row + 4 * x, sizeof v);
                store4(out + x, unitClamp(v));
            }
        for (; x < width; ++x) {
            uint32_t bits;
            std::memcpy(&bits, row + x * step, sizeof bits);
            if (swap)
                bits = __builtin_bswap32(bits);
            out[x] = unitClamp(std::bit_cast<float>(bits));
        }
        break;
    }
    }
}

// out[x] = Σ weights[k] × rows[k][x]: the vertical pass, across whole rows so it vectorises.
template <typename Out>
void combineRows(const float* const* rows, const float* weights, size_t count, Out* out, size_t width)
{
    size_t x = 0;
    for (; x + 16 <= width; x += 16) {
        Vec4 a = {}, b = {}, c = {}, d = {};
        for (size_t k = 0; k < count; ++k) {
            const float* r = rows[k] + x;
            const float w = weights[k];
            a += w * vec4At(r);
            b += w * vec4At(r + 4);
            c += w * vec4At(r + 8);
            d += w * vec4At(r + 12);
        }
        store16(out + x, a, b, c, d);
    }
    for (; x < width; ++x) {
        float a = 0.0f;
        for (size_t k = 0; k < count; ++k)
            a += weights[k] * rows[k][x];
        storeOne(out + x, a);
    }
}

// Lane i of the result is the sum of the four lanes of s[i].
inline Vec4 sumLanes(const Vec4& s0, const Vec4& s1, const Vec4& s2, const Vec4& s3)
{
    const Vec4i low = {0, 4, 1, 5}, high = {2, 6, 3, 7}, front = {0, 1, 4, 5}, back = {2, 3, 6, 7};
    const Vec4 a = __builtin_shuffle(s0, s1, low) + __builtin_shuffle(s0, s1, high);
    const Vec4 b = __builtin_shuffle(s2, s3, low) + __builtin_shuffle(s2, s3, high);
    return __builtin_shuffle(a, b, front) + __builtin_shuffle(a, b, back);
}

// The horizontal pass over one row: each output is a dot product of its padded weight row with
// the samples from first[x], four outputs at a time so their sums finish in one vector.
template <size_t Stride>
void filterRowFixed(const Axis& axis, const float* in, float* out)
{
    const float* w = axis.weights.data();
    const uint32_t* first = axis.first.data();
    auto dot = [&](size_t x) {
        const float* s = in + first[x];
        const float* wx = w + x * Stride;
        Vec4 acc = vec4At(wx) * vec4At(s);
        for (size_t k = 4; k < Stride; k += 4)
            acc += vec4At(wx + k) * vec4At(s + k);
        return acc;
    };
    const size_t n = axis.targetSize;
    size_t x = 0;
    for (; x + 4 <= n; x += 4)
        store4(out + x, sumLanes(dot(x), dot(x + 1), dot(x + 2), dot(x + 3)));
    for (; x < n; ++x) {
        const Vec4 acc = dot(x);
        out[x] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    }
}

void filterRowWide(const Axis& axis, const float* in, float* out)
{
    const size_t stride = axis.stride;
    for (size_t x = 0; x < axis.targetSize; ++x) {
        const float* w = axis.weights.data() + x * stride;
        const float* s = in + axis.first[x];
        const size_t blocks = (axis.count[x] + 3) / 4 * 4; // whole vectors; the padding weighs 0
        Vec4 acc = {};
        for (size_t k = 0; k < blocks; k += 4)
            acc += vec4At(w + k) * vec4At(s + k);
        out[x] = (acc[0] + acc[1]) + (acc[2] + acc[3]);
    }
}

void filterRow(const Axis& axis, const float* in, float* out)
{
    switch (axis.stride) {
    case 4: return filterRowFixed<4>(axis, in, out);
    case 8: return filterRowFixed<8>(axis, in, out);
    case 12: return filterRowFixed<12>(axis, in, out);
    default: return filterRowWide(axis, in, out);
    }
}

// acc[x] += weight × in[x].
void addScaledRow(const float* in, float weight, float* acc, size_t width)
{
    size_t x = 0;
    for (; x + 4 <= width; x += 4)
        store4(acc + x, vec4At(acc + x) + weight * vec4At(in + x));
    for (; x < width; ++x)
        acc[x] += weight * in[x];
}

// Narrows a row of float results to bytes.
void quantiseRow(const float* in, uint8_t* out, size_t width)
{
    size_t x = 0;
    for (; x + 16 <= width; x += 16)
        storeBytes(out + x, vec4At(in + x), vec4At(in + x + 4), vec4At(in + x + 8), vec4At(in + x + 12));
    for (; x < width; ++x)
        out[x] = toByte(in[x]);
}

} // namespace

struct LanczosResampler::Tables {
    Axis horizontal;
    Axis vertical;
    // Filter source rows horizontally, then combine them per output row; otherwise combine
    // source rows first and filter each combined row. Chosen by estimated work and scratch size.
    bool horizontalFirst = true;
};

namespace {

using Tables = LanczosResampler::Tables;

// Horizontal pass first: horizontally filtered source rows live in a ring of vertical.taps rows,
// each computed once per band and reused by every output row whose window covers it.
template <typename Out>
void resampleBandHorizontalFirst(const Tables& t, const PlaneView& source, Out* target, size_t y0, size_t y1)
{
    const Axis& h = t.horizontal;
    const Axis& v = t.vertical;
    const size_t outWidth = h.targetSize;
    const size_t ringRows = v.taps;
    std::vector<float> input(h.sourceSize + h.stride, 0.0f);
    std::vector<float> ring(ringRows * outWidth);
    std::vector<const float*> rows(ringRows);
    size_t next = v.first[y0]; // next source row to filter
    for (size_t y = y0; y < y1; ++y) {
        const size_t from = v.first[y], count = v.count[y];
        next = std::max(next, from);
        for (; next < from + count; ++next) {
            readRow(source, next, input.data());
            filterRow(h, input.data(), &ring[(next % ringRows) * outWidth]);
        }
        for (size_t k = 0; k < count; ++k)
            rows[k] = &ring[((from + k) % ringRows) * outWidth];
        combineRows(rows.data(), &v.weights[y * v.stride], count, target + y * outWidth, outWidth);
    }
}

// Vertical pass first: each output row accumulates its source rows, then is filtered
// horizontally. Needs only two source-width rows of scratch whatever the factors.
template <typename Out>
void resampleBandVerticalFirst(const Tables& t, const PlaneView& source, Out* target, size_t y0, size_t y1)
{
    const Axis& h = t.horizontal;
    const Axis& v = t.vertical;
    const size_t inWidth = h.sourceSize, outWidth = h.targetSize;
    std::vector<float> sourceRow(inWidth);
    std::vector<float> combined(inWidth + h.stride, 0.0f);
    std::vector<float> filtered(std::is_same_v<Out, float> ? 0 : outWidth);
    for (size_t y = y0; y < y1; ++y) {
        std::fill_n(combined.begin(), inWidth, 0.0f);
        const float* w = &v.weights[y * v.stride];
        for (size_t k = 0; k < v.count[y]; ++k) {
            readRow(source, v.first[y] + k, sourceRow.data());
            addScaledRow(sourceRow.data(), w[k], combined.data(), inWidth);
        }
        if constexpr (std::is_same_v<Out, float>) {
            filterRow(h, combined.data(), target + y * outWidth);
        } else {
            filterRow(h, combined.data(), filtered.data());
            quantiseRow(filtered.data(), target + y * outWidth, outWidth);
        }
    }
}

bool multiplyChecked(size_t a, size_t b, size_t& result)
{
    return !__builtin_mul_overflow(a, b, &result);
}

Result<void, std::string> checkSource(const Tables& t, const PlaneView& source)
{
    const size_t w = t.horizontal.sourceSize, h = t.vertical.sourceSize;
    if (source.width != w || source.height != h)
        return unexpected("The plane is " + std::to_string(source.width) + " × " + std::to_string(source.height)
                          + " pixels; this resampler reads " + std::to_string(w) + " × " + std::to_string(h) + ".");
    const size_t sample = sampleSize(source.format);
    if (source.bytesPerPixel < sample)
        return unexpected("The plane's pixels (" + std::to_string(source.bytesPerPixel)
                          + " bytes) are smaller than one sample (" + std::to_string(sample) + " bytes).");
    // The last sample of a row ends at (width − 1) × bytesPerPixel + sample; the plane needs
    // every row but the last in full.
    size_t rowNeed = 0, before = 0, total = 0;
    if (!multiplyChecked(w - 1, source.bytesPerPixel, rowNeed) || (rowNeed += sample) < sample
        || source.bytesPerRow < rowNeed)
        return unexpected("The plane's rows (" + std::to_string(source.bytesPerRow)
                          + " bytes) are shorter than its width needs.");
    if (!multiplyChecked(h - 1, source.bytesPerRow, before) || __builtin_add_overflow(before, rowNeed, &total)
        || source.bytes.size() < total || source.bytes.data() == nullptr)
        return unexpected("The plane's data is too short (" + std::to_string(source.bytes.size()) + " bytes).");
    return {};
}

template <typename Out>
Result<void, std::string> resampleInto(const Tables& t, const PlaneView& source, std::span<Out> target)
{
    if (auto checked = checkSource(t, source); !checked)
        return checked;
    const size_t outWidth = t.horizontal.targetSize, outHeight = t.vertical.targetSize;
    if (target.size() / outWidth < outHeight)
        return unexpected("The target holds " + std::to_string(target.size()) + " samples; " + std::to_string(outWidth)
                          + " × " + std::to_string(outHeight) + " are needed.");
    std::atomic<bool> outOfMemory{false};
    parallelFor(outHeight, [&](size_t y0, size_t y1) {
        try {
            if (t.horizontalFirst)
                resampleBandHorizontalFirst(t, source, target.data(), y0, y1);
            else
                resampleBandVerticalFirst(t, source, target.data(), y0, y1);
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
    });
    if (outOfMemory)
        return unexpected(std::string("Not enough memory to resample the plane."));
    return {};
}

} // namespace

size_t sampleSize(SampleFormat format)
{
    switch (format) {
    case SampleFormat::uint8: return 1;
    case SampleFormat::uint16LittleEndian:
    case SampleFormat::uint16BigEndian: return 2;
    case SampleFormat::float32LittleEndian:
    case SampleFormat::float32BigEndian: return 4;
    }
    return 1;
}

Result<LanczosResampler, std::string> LanczosResampler::make(size_t sourceWidth, size_t sourceHeight,
                                                             size_t targetWidth, size_t targetHeight)
{
    if (auto error = checkImageDimensions(sourceWidth, sourceHeight))
        return unexpected("Cannot resample from this plane: " + error->description());
    if (auto error = checkImageDimensions(targetWidth, targetHeight))
        return unexpected("Cannot resample to this size: " + error->description());
    try {
        auto tables = std::make_shared<Tables>();
        tables->horizontal = buildAxis(sourceWidth, targetWidth);
        tables->vertical = buildAxis(sourceHeight, targetHeight);

        // Work estimates in multiply-adds; the horizontal kernel walks scattered windows and costs
        // about twice a vertical one, which streams whole rows.
        const double sw = double(sourceWidth), sh = double(sourceHeight);
        const double tw = double(targetWidth), th = double(targetHeight);
        const double tx = double(tables->horizontal.taps), ty = double(tables->vertical.taps);
        const double horizontalFirstWork = sw * sh + sh * tw * tx * 2.0 + th * tw * ty;
        const double verticalFirstWork = th * ty * sw * 2.0 + th * tw * tx * 2.0;
        // The ring of filtered rows is per band; past 64 MiB the streaming order is kinder.
        const double ringBytes = ty * tw * sizeof(float);
        tables->horizontalFirst = horizontalFirstWork <= verticalFirstWork && ringBytes <= double(64 << 20);
        return LanczosResampler(std::move(tables));
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("Not enough memory for the resampling tables."));
    }
}

size_t LanczosResampler::sourceWidth() const
{
    return tables_->horizontal.sourceSize;
}
size_t LanczosResampler::sourceHeight() const
{
    return tables_->vertical.sourceSize;
}
size_t LanczosResampler::targetWidth() const
{
    return tables_->horizontal.targetSize;
}
size_t LanczosResampler::targetHeight() const
{
    return tables_->vertical.targetSize;
}

Result<void, std::string> LanczosResampler::resample(const PlaneView& source, std::span<uint8_t> target) const
{
    return resampleInto(*tables_, source, target);
}

Result<void, std::string> LanczosResampler::resample(const PlaneView& source, std::span<float> target) const
{
    return resampleInto(*tables_, source, target);
}

} // namespace pelorin
