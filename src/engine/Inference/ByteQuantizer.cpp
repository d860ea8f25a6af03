#include "engine/Inference/ByteQuantizer.h"
#include "engine/Common/CpuFeatures.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

namespace pelorin::inference {
namespace {

constexpr size_t chunk = size_t{1} << 16; // elements per task: 256 KiB read

template <typename Byte>
Byte quantizeOne(float value, float scale)
{
    constexpr float low = std::is_signed_v<Byte> ? -128.f : 0.f, high = std::is_signed_v<Byte> ? 127.f : 255.f;
    return Byte(std::nearbyint(std::clamp(value * scale, low, high)));
}

template <typename Byte>
void quantizeScalar(const float* in, Byte* out, size_t count, float scale)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = quantizeOne<Byte>(in[i], scale);
}

// Eight scaled values rounded to even and stored as bytes with saturation.
template <typename Byte>
__attribute__((target("avx2"))) inline void storeEightBytes(Byte* out, __m256 scaled)
{
    const __m256i v = _mm256_cvtps_epi32(scaled);
    const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    const __m128i bytes = std::is_signed_v<Byte> ? _mm_packs_epi16(words, words) : _mm_packus_epi16(words, words);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
}

// 32 values per step: scaled, rounded to even (the default mode), then packed with saturation;
// the packs interleave 128-bit lanes, which the final permutation undoes.
template <typename Byte>
__attribute__((target("avx2"))) void quantizeAvx2(const float* in, Byte* out, size_t count, float scale)
{
    const __m256 factor = _mm256_set1_ps(scale);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    size_t i = 0;
    for (; i + 32 <= count; i += 32) {
        __m256i v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(in + i + 8 * k), factor));
        const __m256i words = _mm256_packs_epi32(v[0], v[1]), words2 = _mm256_packs_epi32(v[2], v[3]);
        const __m256i packed =
            std::is_signed_v<Byte> ? _mm256_packs_epi16(words, words2) : _mm256_packus_epi16(words, words2);
        const __m256i bytes = _mm256_permutevar8x32_epi32(packed, order);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), bytes);
    }
    for (; i + 8 <= count; i += 8) // the narrow channel slices of a concatenation
        storeEightBytes(out + i, _mm256_mul_ps(_mm256_loadu_ps(in + i), factor));
    quantizeScalar(in + i, out + i, count - i, scale);
}

template <typename Byte>
void quantize(const float* in, Byte* out, size_t count, float scale)
{
    static const bool avx2 = cpuHasAvx2Fma();
    const int64_t chunks = int64_t((count + chunk - 1) / chunk);
#pragma omp parallel for schedule(static)
    for (int64_t c = 0; c < chunks; ++c) {
        const size_t begin = size_t(c) * chunk, n = std::min(chunk, count - begin);
        if (avx2)
            quantizeAvx2(in + begin, out + begin, n, scale);
        else
            quantizeScalar(in + begin, out + begin, n, scale);
    }
}

template <typename Byte>
void quantizeRows(const float* in, size_t rows, size_t width, Byte* out, size_t outStride, float scale)
{
    static const bool avx2 = cpuHasAvx2Fma();
    const size_t rowsPerTask = std::max<size_t>(1, chunk / std::max<size_t>(1, width));
    const int64_t tasks = int64_t((rows + rowsPerTask - 1) / rowsPerTask);
#pragma omp parallel for schedule(static)
    for (int64_t t = 0; t < tasks; ++t) {
        const size_t end = std::min(rows, size_t(t + 1) * rowsPerTask);
        for (size_t r = size_t(t) * rowsPerTask; r < end; ++r)
            if (avx2)
                quantizeAvx2(in + r * width, out + r * outStride, width, scale);
            else
                quantizeScalar(in + r * width, out + r * outStride, width, scale);
    }
}

// Where output row or column `o` of `out` samples an input of `in`: between i0 and i1, at t from i0.
struct Tap {
    size_t i0, i1;
    float t;
};

std::vector<Tap> taps(size_t in, size_t out)
{
    std::vector<Tap> result(out);
    for (size_t o = 0; o < out; ++o) {
        const double position = std::clamp((double(o) + 0.5) * double(in) / double(out) - 0.5, 0.0, double(in) - 1.0);
        const size_t i0 = size_t(position);
        result[o] = {i0, std::min(i0 + 1, in - 1), float(position - double(i0))};
    }
    return result;
}

// One output row from input rows `top` and `bottom` (weight ty on the latter).
// Channels `from` onwards of output pixel `x` of a row between input rows `top` and `bottom`.
template <typename Byte>
void resizePixelScalar(const float* top, const float* bottom, float ty, const Tap& x, size_t channels, size_t from,
                       Byte* out, float scale)
{
    const float *a = top + x.i0 * channels, *b = top + x.i1 * channels;
    const float *c = bottom + x.i0 * channels, *d = bottom + x.i1 * channels;
    for (size_t ch = from; ch < channels; ++ch) {
        const float upper = a[ch] * (1 - x.t) + b[ch] * x.t, lower = c[ch] * (1 - x.t) + d[ch] * x.t;
        out[ch] = quantizeOne<Byte>(upper * (1 - ty) + lower * ty, scale);
    }
}

template <typename Byte>
__attribute__((target("avx2,fma"))) void resizeRowAvx2(const float* top, const float* bottom, float ty,
                                                       const std::vector<Tap>& xs, size_t channels, Byte* out,
                                                       size_t outStride, float scale)
{
    const __m256 factor = _mm256_set1_ps(scale), wy0 = _mm256_set1_ps(1 - ty), wy1 = _mm256_set1_ps(ty);
    for (size_t ox = 0; ox < xs.size(); ++ox) {
        const Tap& x = xs[ox];
        const float *a = top + x.i0 * channels, *b = top + x.i1 * channels;
        const float *c = bottom + x.i0 * channels, *d = bottom + x.i1 * channels;
        const __m256 wx0 = _mm256_set1_ps(1 - x.t), wx1 = _mm256_set1_ps(x.t);
        Byte* o = out + ox * outStride;
        size_t ch = 0;
        for (; ch + 8 <= channels; ch += 8) {
            const __m256 upper =
                _mm256_fmadd_ps(_mm256_loadu_ps(b + ch), wx1, _mm256_mul_ps(_mm256_loadu_ps(a + ch), wx0));
            const __m256 lower =
                _mm256_fmadd_ps(_mm256_loadu_ps(d + ch), wx1, _mm256_mul_ps(_mm256_loadu_ps(c + ch), wx0));
            const __m256 value = _mm256_fmadd_ps(lower, wy1, _mm256_mul_ps(upper, wy0));
            storeEightBytes(o + ch, _mm256_mul_ps(value, factor));
        }
        resizePixelScalar(top, bottom, ty, x, channels, ch, o, scale);
    }
}

template <typename Byte>
void resizeLinear(const float* in, size_t inHeight, size_t inWidth, size_t channels, Byte* out, size_t outHeight,
                  size_t outWidth, size_t outStride, float scale)
{
    static const bool avx2 = cpuHasAvx2Fma();
    const std::vector<Tap> ys = taps(inHeight, outHeight), xs = taps(inWidth, outWidth);
    const size_t inRow = inWidth * channels;
#pragma omp parallel for schedule(static)
    for (int64_t oy = 0; oy < int64_t(outHeight); ++oy) {
        const Tap& y = ys[size_t(oy)];
        Byte* row = out + size_t(oy) * outWidth * outStride;
        if (avx2)
            resizeRowAvx2(in + y.i0 * inRow, in + y.i1 * inRow, y.t, xs, channels, row, outStride, scale);
        else
            for (size_t ox = 0; ox < outWidth; ++ox)
                resizePixelScalar(in + y.i0 * inRow, in + y.i1 * inRow, y.t, xs[ox], channels, 0, row + ox * outStride,
                                  scale);
    }
}

// The columns of output column `ox`'s window that lie inside the image: [x0, x1).
struct WindowColumns {
    size_t x0, x1;
};

WindowColumns windowColumns(size_t ox, const PoolingWindow& w, size_t inWidth)
{
    const int64_t left = int64_t(ox * w.strideW) - int64_t(w.padLeft);
    return {size_t(std::max<int64_t>(left, 0)), size_t(std::min<int64_t>(left + int64_t(w.kernelW), int64_t(inWidth)))};
}

// Channels `from` onwards of one output pixel; `rowsIn` counts the window's rows inside the image,
// from `top`.
template <typename Byte>
void poolPixelScalar(const float* top, size_t rowsIn, size_t inWidth, size_t channels, WindowColumns columns,
                     size_t from, Byte* out, float scale)
{
    for (size_t c = from; c < channels; ++c) {
        float best = -INFINITY;
        for (size_t r = 0; r < rowsIn; ++r)
            for (size_t x = columns.x0; x < columns.x1; ++x)
                best = std::max(best, top[(r * inWidth + x) * channels + c]);
        out[c] = quantizeOne<Byte>(best, scale);
    }
}

template <typename Byte>
__attribute__((target("avx2,fma"))) void poolRowAvx2(const float* top, size_t rowsIn, size_t inWidth, size_t channels,
                                                     const PoolingWindow& w, Byte* out, size_t outWidth, float scale)
{
    const __m256 factor = _mm256_set1_ps(scale);
    for (size_t ox = 0; ox < outWidth; ++ox) {
        const WindowColumns columns = windowColumns(ox, w, inWidth);
        Byte* o = out + ox * channels;
        size_t c = 0;
        for (; c + 8 <= channels; c += 8) {
            __m256 best = _mm256_set1_ps(-INFINITY);
            for (size_t r = 0; r < rowsIn; ++r)
                for (size_t x = columns.x0; x < columns.x1; ++x)
                    best = _mm256_max_ps(best, _mm256_loadu_ps(top + (r * inWidth + x) * channels + c));
            storeEightBytes(o + c, _mm256_mul_ps(best, factor));
        }
        poolPixelScalar(top, rowsIn, inWidth, channels, columns, c, o, scale);
    }
}

template <typename Byte>
void maxPool(const float* in, size_t inHeight, size_t inWidth, size_t channels, const PoolingWindow& w, Byte* out,
             size_t outHeight, size_t outWidth, float scale)
{
    static const bool avx2 = cpuHasAvx2Fma();
#pragma omp parallel for schedule(static)
    for (int64_t oy = 0; oy < int64_t(outHeight); ++oy) {
        const int64_t first = oy * int64_t(w.strideH) - int64_t(w.padTop);
        const int64_t y0 = std::max<int64_t>(first, 0),
                      y1 = std::min<int64_t>(first + int64_t(w.kernelH), int64_t(inHeight));
        const size_t rowsIn = size_t(std::max<int64_t>(y1 - y0, 0));
        const float* top = in + size_t(y0) * inWidth * channels;
        Byte* row = out + size_t(oy) * outWidth * channels;
        if (avx2)
            poolRowAvx2(top, rowsIn, inWidth, channels, w, row, outWidth, scale);
        else
            for (size_t ox = 0; ox < outWidth; ++ox)
                poolPixelScalar(top, rowsIn, inWidth, channels, windowColumns(ox, w, inWidth), 0, row + ox * channels,
                                scale);
    }
}

} // namespace

void maxPoolToBytes(const float* in, size_t inHeight, size_t inWidth, size_t channels, const PoolingWindow& window,
                    void* out, size_t outHeight, size_t outWidth, float scale, bool toSigned)
{
    if (toSigned)
        maxPool(in, inHeight, inWidth, channels, window, static_cast<int8_t*>(out), outHeight, outWidth, scale);
    else
        maxPool(in, inHeight, inWidth, channels, window, static_cast<uint8_t*>(out), outHeight, outWidth, scale);
}

void resizeLinearToBytes(const float* in, size_t inHeight, size_t inWidth, size_t channels, void* out, size_t outHeight,
                         size_t outWidth, size_t outStride, float scale, bool toSigned)
{
    if (toSigned)
        resizeLinear(in, inHeight, inWidth, channels, static_cast<int8_t*>(out), outHeight, outWidth, outStride, scale);
    else
        resizeLinear(in, inHeight, inWidth, channels, static_cast<uint8_t*>(out), outHeight, outWidth, outStride,
                     scale);
}

void quantizeRowsToBytes(const float* in, size_t rows, size_t width, void* out, size_t outStride, float scale,
                         bool toSigned)
{
    if (toSigned)
        quantizeRows(in, rows, width, static_cast<int8_t*>(out), outStride, scale);
    else
        quantizeRows(in, rows, width, static_cast<uint8_t*>(out), outStride, scale);
}

void quantizeToBytes(const float* in, void* out, size_t count, float scale, bool toSigned)
{
    if (toSigned)
        quantize(in, static_cast<int8_t*>(out), count, scale);
    else
        quantize(in, static_cast<uint8_t*>(out), count, scale);
}

} // namespace pelorin::inference
