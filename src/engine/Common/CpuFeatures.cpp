#include "engine/Common/CpuFeatures.h"

#include <cstdlib>
#include <cstring>

namespace pelorin {
namespace {

bool heldToBaseline()
{
    const char* value = std::getenv("PELORIN_CPU_BASELINE");
    return value && *value && std::strcmp(value, "0") != 0;
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
    static const bool available = __builtin_cpu_supports("f16c") && __builtin_cpu_supports("avx") && !heldToBaseline();
    return available;
#else
    return false;
#endif
}

} // namespace pelorin
