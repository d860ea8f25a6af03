#include "engine/Inference/DnnlBinding.h"

#include <cstdint>

namespace pelorin::inference {
namespace {

std::string misaligned(const void* pointer, std::string_view what)
{
    return "internal error: " + std::string(what) + " at address "
        + std::to_string(reinterpret_cast<uintptr_t>(pointer)) + " is not " + std::to_string(tensorAlignment)
        + "-byte aligned, which the inference kernels need";
}

} // namespace

Result<void, std::string> bindAligned(dnnl::memory& memory, void* pointer, std::string_view what)
{
    if (pointer != DNNL_MEMORY_NONE && !isTensorAligned(pointer))
        return unexpected(misaligned(pointer, what));
    memory.set_data_handle(pointer);
    return {};
}

Result<dnnl::memory, std::string> alignedMemory(const dnnl::memory::desc& desc, const dnnl::engine& engine,
                                                void* pointer, std::string_view what)
{
    if (pointer != DNNL_MEMORY_NONE && !isTensorAligned(pointer))
        return unexpected(misaligned(pointer, what));
    return dnnl::memory(desc, engine, pointer);
}

} // namespace pelorin::inference
