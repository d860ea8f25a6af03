// PrecisionPolicy: which arithmetic a network is built with, from the caller's wish and the
// PELORIN_PRECISION variable (fp32, bf16, int8 or auto). fp32 is the default: bf16 masks differ from
// fp32 by a mean of 0.0003, but the thresholded mask of an occasional photo the model is unsure
// about moves by more than we accept, and on today's bf16 processors it is no faster than fp32
// Winograd; what it offers is a third of the memory. int8 is faster still, but with ranges fixed
// ahead of time (oneDNN takes its scales when a primitive is made) the masks of one photo in six
// move more than we accept, so it is only ever asked for. Reduced precision without native
// instructions (at the level oneDNN is held to, ONEDNN_MAX_CPU_ISA) would be emulated or far slower,
// so bf16 is refused without AVX512_BF16 and int8 without VNNI.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/Network.h"

#include <string>

namespace pelorin::inference {

bool cpuHasNativeBf16();
// u8 × s8 dot products in one instruction (AVX512_VNNI or AVX-VNNI), where int8 convolutions run
// about four times as fast as fp32 direct ones.
bool cpuHasVnni();

// fp32, bf16 or int8. `automatic` defers to PELORIN_PRECISION (unset or auto: fp32); an explicit
// choice is kept as asked where the processor has the instructions. Errors name the unusable setting.
Result<Precision, std::string> resolvePrecision(Precision requested);

} // namespace pelorin::inference
