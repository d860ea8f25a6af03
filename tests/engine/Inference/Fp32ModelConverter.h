// Makes an all-fp32 copy of an fp16 ONNX model for the OpenCV DNN oracle, whose importer refuses
// FLOAT16 tensors. Tests only: the executor itself reads the fp16 model.
//
// Every FLOAT16 initializer, Constant value and declared tensor type becomes FLOAT, and every
// Cast to FLOAT16 becomes a Cast to FLOAT (then an identity), so the graph computes in fp32 with
// the model's own weights widened exactly.
#pragma once

#include "engine/Common/Result.h"

#include <cstdint>
#include <filesystem>
#include <string>

namespace pelorin::test {

// IEEE 754 binary16 bits to float, exact for every value (subnormals, infinities, NaN).
float halfToFloat(uint16_t bits);

// Reads `source`, writes the fp32 conversion to `destination` (through a temporary file and a
// rename, so a reader never sees half a model).
Result<void, std::string> convertModelToFp32(const std::filesystem::path& source,
                                             const std::filesystem::path& destination);

// The fp32 copy of `fp16Model`, cached beside it ("fp16" in the name becomes "fp32":
// isnet-general-fp32.onnx); made again when missing or older than the fp16 file.
Result<std::filesystem::path, std::string> cachedFp32Model(const std::filesystem::path& fp16Model);

} // namespace pelorin::test
