// An all-fp32 copy of an fp16 ONNX model for the OpenCV DNN oracle, whose importer refuses FLOAT16
// tensors: the model's own weights widened exactly, declared types made FLOAT, each Cast to
// FLOAT16 made an Identity, so the graph computes in fp32 throughout. Tests and benchmarks only.
#pragma once

#include "engine/Common/Result.h"

#include <filesystem>
#include <string>

namespace pelorin::test {

// The copy, cached beside `fp16Model` ("fp16" in the name becomes "fp32"); made again when missing
// or older than the fp16 file.
Result<std::filesystem::path, std::string> cachedFp32Model(const std::filesystem::path& fp16Model);

} // namespace pelorin::test
