// IEEE 754 half precision to single precision, exact for every input (subnormals, infinities,
// NaN payloads), without relying on F16C so the engine runs on any x86-64; halvesToFloats takes
// F16C where the processor has it (a model's weights convert in a tenth of the time).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace pelorin::inference {

inline float halfToFloat(uint16_t h)
{
    const uint32_t sign = uint32_t(h & 0x8000u) << 16;
    const uint32_t exponent = (h >> 10) & 0x1Fu;
    uint32_t mantissa = h & 0x3FFu;
    if (exponent == 0x1F) // infinity or NaN
        return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
    if (exponent != 0)
        return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
    if (mantissa == 0)
        return std::bit_cast<float>(sign);
    // Subnormal: value = mantissa · 2^-24, normalised into single precision.
    int shift = 0;
    while ((mantissa & 0x400u) == 0) {
        mantissa <<= 1;
        ++shift;
    }
    mantissa &= 0x3FFu;
    return std::bit_cast<float>(sign | uint32_t(113 - shift) << 23 | (mantissa << 13));
}

// `count` little-endian halves at `halves` (any alignment) into `floats`. F16C gives the same values
// except that signalling NaNs come out quiet.
void halvesToFloats(const void* halves, float* floats, size_t count);

} // namespace pelorin::inference
