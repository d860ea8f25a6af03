// ExecutionPlan: a ComputeGraph lowered onto oneDNN: primitives created once, weights reordered
// into the layouts those primitives chose, and the buffers each step reads and writes (with their
// memory layouts). Where the buffers live is decided afterwards by BufferPlanner.
//
// Contract: built once at load, then only read. oneDNN primitives and the constant memories may be
// executed from several threads at once as long as each execution brings its own activation and
// scratchpad memory (scratchpads are user-provided).
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/ActivationRanges.h"
#include "engine/Inference/BufferPlanner.h"
#include "engine/Inference/ComputeGraph.h"
#include "engine/Inference/Network.h"
#include "engine/Inference/PreparedWeightCache.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pelorin::inference {

struct PlanBuffer {
    dnnl::memory::desc desc;
    BufferPlanner::Storage storage = BufferPlanner::Storage::arena;
};

struct PlanStep {
    std::string name;           // the ONNX node (or what a reorder feeds)
    std::string kind;           // e.g. "Conv+Relu+Sum"
    std::string implementation; // oneDNN's kernel name, or one of ours ("pelorin:…")
    dnnl::primitive primitive;
    // Our own kernel, run instead of `primitive` on the same arguments when set.
    std::function<void(const std::unordered_map<int, dnnl::memory>&)> kernel;
    std::vector<std::pair<int, int>> buffers;            // DNNL_ARG_* → buffer id
    std::vector<std::pair<int, dnnl::memory>> constants; // DNNL_ARG_* → weights or bias
    std::vector<int> reads, writes;                      // buffer ids, for liveness
    std::string inputValue;        // a convolution's input tensor (its name in the graph), for calibration
    dnnl::memory::desc scratchpad; // zero when the step needs none
    int scratchpadBuffer = -1;     // the planner's buffer holding it during this step (set at load)
    double flops = 0;
};

struct ExecutionPlan {
    dnnl::engine engine;
    std::vector<PlanBuffer> buffers;
    std::vector<PlanStep> steps;
    int inputBuffer = -1;  // the caller's 1 × C × H × W input, plain NCHW
    int outputBuffer = -1; // the caller's output, plain NCHW
    // Layout sharing decided during lowering, applied by BufferPlanner.
    struct InPlace {
        int step, operand, result;
    };
    struct ConcatView {
        int step, output;
        std::vector<std::pair<int, size_t>> inputsAtOffsets;
    };
    std::vector<InPlace> inPlace;
    std::vector<ConcatView> concatViews;
    // Every weight and bias tensor as the kernels read it, in lowering order: what a
    // PreparedWeightCache file holds. Those found in the cache point into it, kept alive here.
    struct PreparedWeight {
        dnnl::memory::desc desc;
        uint32_t sourceChecksum;
        dnnl::memory memory;
    };
    std::vector<PreparedWeight> preparedWeights;
    size_t weightsFromCache = 0;
    std::shared_ptr<const PreparedWeightCache> weightStorage;
};

struct LoweringOptions {
    // Undilated 3×3 stride-1 convolutions through Winograd: oneDNN's where it has a kernel for the
    // CPU's level, else ours where the CPU has AVX2; off gives the direct-convolution reference.
    bool winograd = true;
    // fp32, bf16 or int8 (resolved: never automatic). With bf16 the activations between
    // convolutions are bf16 too; the caller's input and output stay fp32. With int8, convolutions
    // whose input cannot be negative and has a measured range in `ranges` take it quantized to u8
    // and weights quantized per output channel to s8, and write fp32; everything else is fp32.
    Precision precision = Precision::fp32;
    const ActivationRanges* ranges = nullptr;
    // fp32 convolutions of channel concatenations at least this large run as a sum of
    // convolutions of the parts (ConcatConvolutionSplit.h). Smaller ones are views the buffer
    // planner fills in place, where splitting measured slower and larger.
    size_t splitConcatBytes = size_t{64} << 20;
};

// Consumes the graph: each convolution's fp32 weights are released as soon as they are converted,
// so two full copies of the weights never coexist.
// Weights found in `cache` (layout and source checksum matching) are used where they lie instead.
Result<ExecutionPlan, std::string> lowerToDnnl(ComputeGraph graph, const LoweringOptions& options,
                                               std::shared_ptr<const PreparedWeightCache> cache = nullptr);

} // namespace pelorin::inference
