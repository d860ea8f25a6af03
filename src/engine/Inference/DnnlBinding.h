// DnnlBinding: the one way our pointers reach oneDNN memory objects. oneDNN's kernels may use
// aligned vector stores on the memory they are given, so a pointer that is not tensor-aligned is
// refused here with an error rather than handed to a kernel that would fault on it.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/AlignedTensor.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <string>
#include <string_view>

namespace pelorin::inference {

// Points `memory` at `pointer`, or fails naming `what` when the pointer is misaligned.
// DNNL_MEMORY_NONE (null) is always accepted: it unbinds.
Result<void, std::string> bindAligned(dnnl::memory& memory, void* pointer, std::string_view what);

// A memory of `desc` over `pointer`, checked as above.
Result<dnnl::memory, std::string> alignedMemory(const dnnl::memory::desc& desc, const dnnl::engine& engine,
                                                void* pointer, std::string_view what);

} // namespace pelorin::inference
