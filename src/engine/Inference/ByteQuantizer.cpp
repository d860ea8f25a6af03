#include "engine/Inference/ByteQuantizer.h"
#include "engine/Common/CpuFeatures.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace pelorin::inference {
namespace {

constexpr size_t chunk = size_t{1} << 16; // elements per task: 256 KiB read

template <typename Byte>
void quantizeScalar(const float* in, Byte* out, size_t count, float scale)
{
    constexpr float low = std::is_signed_v<Byte> ? -128.f : 0.f, high = std::is_signed_v<Byte> ? 127.f : 255.f;
    for (size_t i = 0; i < count; ++i)
        out[i] = Byte(std::nearbyint(std::clamp(in[i] * scale, low, high)));
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
    for (; i + 8 <= count; i += 8) { // the narrow channel slices of a concatenation
        const __m256i v = _mm256_cvtps_epi32(_mm256_mul_ps(_mm256_loadu_ps(in + i), factor));
        const __m128i words = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        const __m128i bytes = std::is_signed_v<Byte> ? _mm_packs_epi16(words, words) : _mm_packus_epi16(words, words);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), bytes);
    }
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

} // namespace

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
