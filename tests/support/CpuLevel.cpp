#include "support/CpuLevel.h"
#include "engine/Inference/WinogradConvolution.h"

#include <gtest/gtest.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>

namespace pelorin::test {
namespace {

using dnnl::cpu_isa;

// The names ONEDNN_MAX_CPU_ISA takes, with the level each one means.
constexpr std::array<std::pair<const char*, cpu_isa>, 9> levels{{
    {"SSE41", cpu_isa::sse41},
    {"AVX", cpu_isa::avx},
    {"AVX2", cpu_isa::avx2},
    {"AVX2_VNNI", cpu_isa::avx2_vnni},
    {"AVX512_CORE", cpu_isa::avx512_core},
    {"AVX512_CORE_VNNI", cpu_isa::avx512_core_vnni},
    {"AVX512_CORE_BF16", cpu_isa::avx512_core_bf16},
    {"AVX512_CORE_AMX", cpu_isa::avx512_core_amx},
    {"ALL", cpu_isa::all},
}};

bool includes(cpu_isa level, cpu_isa part)
{
    return (unsigned(level) & unsigned(part)) == unsigned(part);
}

// "model name" of /proc/cpuinfo, or "unknown processor".
std::string cpuModelName()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0)
            if (const auto colon = line.find(':'); colon != std::string::npos)
                return line.substr(line.find_first_not_of(" \t", colon + 1));
    return "unknown processor";
}

// ONEDNN_MAX_CPU_ISA as set, or "default".
std::string requestedCpuLevel()
{
    const char* requested = std::getenv("ONEDNN_MAX_CPU_ISA");
    return requested && *requested ? requested : "default";
}

// The level's name as oneDNN's verbose output spells it, e.g. "avx512_core_bf16".
std::string effectiveCpuLevel()
{
    const cpu_isa effective = dnnl::get_effective_cpu_isa();
    for (const auto& [upper, isa] : levels)
        if (isa == effective) {
            std::string name = upper;
            std::ranges::transform(name, name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
            return name;
        }
    return "isa " + std::to_string(int(effective));
}

} // namespace

bool winogradAvailable()
{
    return includes(dnnl::get_effective_cpu_isa(), cpu_isa::avx512_core) || inference::WinogradConvolution::available();
}

std::optional<std::string> missingCpuLevel()
{
    const std::string requested = requestedCpuLevel();
    if (requested == "default" || requested == "ALL")
        return std::nullopt;
    for (const auto& [name, isa] : levels)
        if (requested == name) {
            if (dnnl::get_effective_cpu_isa() == isa)
                return std::nullopt;
            return "this CPU (" + cpuModelName() + ") lacks " + requested + "; oneDNN would run " + effectiveCpuLevel();
        }
    return "ONEDNN_MAX_CPU_ISA=" + requested + " is not a level these tests know";
}

std::string cpuLevelLine()
{
    const dnnl_version_t* version = dnnl_version();
    return "cpu-level " + requestedCpuLevel() + ": " + cpuModelName() + ", oneDNN " + std::to_string(version->major)
        + "." + std::to_string(version->minor) + "." + std::to_string(version->patch) + " runs " + effectiveCpuLevel();
}

testing::Environment* makeCpuLevelEnvironment()
{
    class CpuLevelEnvironment final : public testing::Environment {
        void SetUp() override
        {
            std::printf("%s\n", cpuLevelLine().c_str());
            if (const auto missing = missingCpuLevel()) {
                std::printf("cpu level not available: %s\n", missing->c_str());
                GTEST_SKIP() << *missing;
            }
        }
    };
    return new CpuLevelEnvironment;
}

} // namespace pelorin::test
