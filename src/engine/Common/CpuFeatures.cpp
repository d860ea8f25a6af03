#include "engine/Common/CpuFeatures.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <cstdlib>
#include <cctype>
#include <cstring>
#include <string>

namespace pelorin {
namespace {

bool heldToBaseline()
{
    const char* value = std::getenv("PELORIN_CPU_BASELINE");
    return value && *value && std::strcmp(value, "0") != 0;
}

// The level PELORIN_MAX_ISA allows, in oneDNN's order; unset or unknown names allow everything.
enum class Level { sse41, avx, avx2, all };

Level allowedLevel()
{
    const char* value = std::getenv("PELORIN_MAX_ISA");
    if (!value || !*value)
        return Level::all;
    std::string name(value);
    for (char& c : name)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    if (name == "SSE41" || name == "SSE2" || name == "BASELINE")
        return Level::sse41;
    if (name == "AVX")
        return Level::avx;
    if (name.starts_with("AVX2"))
        return Level::avx2;
    return Level::all;
}

} // namespace

bool cpuHasSsse3()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool available = __builtin_cpu_supports("ssse3") && !heldToBaseline();
    return available;
#else
    return false;
#endif
}

bool cpuHasF16c()
{
#if defined(__x86_64__) || defined(__i386__)
    // Not every compiler's __builtin_cpu_supports knows "f16c": CPUID leaf 1, ECX bit 29. AVX's
    // check includes the OS saving the wider registers, which F16C's instructions use too.
    static const bool available = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & (1u << 29)) != 0 && __builtin_cpu_supports("avx")
            && !heldToBaseline() && allowedLevel() >= Level::avx;
    }();
    return available;
#else
    return false;
#endif
}

bool cpuHasAvx2Fma()
{
#if defined(__x86_64__) || defined(__i386__)
    static const bool available = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && !heldToBaseline()
        && allowedLevel() >= Level::avx2;
    return available;
#else
    return false;
#endif
}

} // namespace pelorin
