// PrecisionPolicy: which arithmetic a network is built with, from the caller's wish, the
// PELORIN_PRECISION variable (fp32, bf16 or auto) and what the processor offers at the level oneDNN
// is held to (ONEDNN_MAX_CPU_ISA). bf16 without native instructions would be emulated, many times
// slower, so it is never chosen there and refused when asked for.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/Network.h"

#include <string>

namespace pelorin::inference {

bool cpuHasNativeBf16();

// fp32 or bf16. `automatic` defers to PELORIN_PRECISION, then to the processor; an explicit fp32
// or bf16 is kept as asked (bf16 only where native). Errors name the unusable setting.
Result<Precision, std::string> resolvePrecision(Precision requested);

} // namespace pelorin::inference
