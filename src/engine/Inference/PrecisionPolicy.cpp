#include "engine/Inference/PrecisionPolicy.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdlib>
#include <string_view>

namespace pelorin {

const char* precisionName(Precision precision)
{
    switch (precision) {
    case Precision::automatic: return "auto";
    case Precision::fp32: return "fp32";
    case Precision::bf16: return "bf16";
    case Precision::int8: return "int8";
    }
    return "?";
}

} // namespace pelorin

namespace pelorin::inference {

bool cpuHasNativeBf16()
{
    const dnnl::cpu_isa isa = dnnl::get_effective_cpu_isa();
    return isa == dnnl::cpu_isa::avx512_core_bf16 || isa == dnnl::cpu_isa::avx512_core_amx;
}

bool cpuHasVnni()
{
    const dnnl::cpu_isa isa = dnnl::get_effective_cpu_isa();
    return isa == dnnl::cpu_isa::avx512_core_vnni || isa == dnnl::cpu_isa::avx512_core_bf16
        || isa == dnnl::cpu_isa::avx512_core_amx || isa == dnnl::cpu_isa::avx2_vnni;
}

Result<Precision, std::string> resolvePrecision(Precision requested)
{
    if (requested == Precision::automatic) {
        const char* value = std::getenv("PELORIN_PRECISION");
        const std::string_view setting = value ? value : "";
        if (setting == "bf16")
            requested = Precision::bf16;
        else if (setting == "int8")
            requested = Precision::int8;
        else if (setting.empty() || setting == "auto" || setting == "fp32")
            return Precision::fp32;
        else
            return unexpected("PELORIN_PRECISION must be fp32, bf16, int8 or auto, not \"" + std::string(setting)
                              + "\"");
    }
    if (requested == Precision::bf16 && !cpuHasNativeBf16())
        return unexpected(std::string("bf16 needs a processor with native bf16 instructions (AVX512_BF16 or AMX), "
                                      "which this one lacks or is held below"));
    if (requested == Precision::int8 && !cpuHasVnni())
        return unexpected(std::string("int8 needs a processor with VNNI instructions (AVX512_VNNI or AVX-VNNI), "
                                      "which this one lacks or is held below"));
    return requested;
}

} // namespace pelorin::inference
