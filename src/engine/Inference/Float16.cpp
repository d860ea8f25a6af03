#include "engine/Inference/Float16.h"

#include "engine/Common/CpuFeatures.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace pelorin::inference {
namespace {

#if defined(__x86_64__)
__attribute__((target("avx,f16c"))) void halvesToFloatsF16c(const uint8_t* in, float* out, size_t count)
{
    size_t i = 0;
    for (; i + 8 <= count; i += 8)
        _mm256_storeu_ps(out + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i))));
    for (; i < count; ++i) {
        uint16_t h;
        std::memcpy(&h, in + 2 * i, 2);
        out[i] = halfToFloat(h);
    }
}
#endif

} // namespace

void halvesToFloats(const void* halves, float* floats, size_t count)
{
    const auto* in = static_cast<const uint8_t*>(halves);
#if defined(__x86_64__)
    if (cpuHasF16c())
        return halvesToFloatsF16c(in, floats, count);
#endif
    for (size_t i = 0; i < count; ++i) {
        uint16_t h;
        std::memcpy(&h, in + 2 * i, 2);
        floats[i] = halfToFloat(h);
    }
}

} // namespace pelorin::inference
