// PrecisionPolicy: which arithmetic a network is built with, from the caller's wish and the
// PELORIN_PRECISION variable (fp32, bf16 or auto). fp32 is the default: bf16 masks differ from fp32
// by a mean of 0.0003, but the thresholded mask of an occasional photo the model is unsure about
// moves by more than we accept, and on today's bf16 processors it is no faster than fp32 Winograd;
// what it offers is a third of the memory. bf16 without native instructions (at the level oneDNN is
// held to, ONEDNN_MAX_CPU_ISA) would be emulated, many times slower, so it is refused there.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/Network.h"

#include <string>

namespace pelorin::inference {

bool cpuHasNativeBf16();

// fp32 or bf16. `automatic` defers to PELORIN_PRECISION (unset or auto: fp32); an explicit fp32 or
// bf16 is kept as asked (bf16 only where native). Errors name the unusable setting.
Result<Precision, std::string> resolvePrecision(Precision requested);

} // namespace pelorin::inference
