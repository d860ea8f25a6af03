// OnnxNetwork: the Network implementation: an ONNX file parsed (OnnxGraph), folded and shaped for
// the chosen input size (ComputeGraph), rewritten where oneDNN's kernels waste work
// (NarrowConvolutionSplit), lowered to oneDNN primitives (ExecutionPlan) and given a buffer layout
// (BufferPlanner), all once in load().
//
// Contract: immutable after load. run() may be called from several threads at once: each call
// takes a workspace (arena, stream) from a pool, or makes one, and gives it back, so
// concurrent calls never share activation memory. Workspaces are kept for reuse until the network
// is destroyed. oneDNN uses OpenMP's threads inside each call.
#pragma once

#include "engine/Inference/BufferPlanner.h"
#include "engine/Inference/ExecutionPlan.h"
#include "engine/Inference/Network.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>

namespace pelorin::inference {

// Choices beyond Network::Options, for tests and measurements.
struct ExecutorOptions {
    LoweringOptions lowering; // which kernels may be chosen (ExecutionPlan.h); precision comes from Options
    // Run up to this tensor (any name in the graph) instead of the model's mask output; its shape
    // is then whatever the graph says (outputDims()).
    std::string outputName;
    // Where prepared weights are cached between loads (PreparedWeightCache.h); none: converted at
    // every load.
    std::optional<std::filesystem::path> weightCache;
    // int8 activation ranges to use instead of those shipped for the model (ActivationRanges.h).
    std::optional<ActivationRanges> ranges;
};

// Sees every step just before it runs, with the memories it reads and writes: how calibration
// measures what a convolution's input reaches.
using StepObserver = std::function<void(const PlanStep&, const std::unordered_map<int, dnnl::memory>&)>;

class OnnxNetwork final : public Network {
public:
    // Inputs larger than this per side are refused: the working memory grows with the area.
    static constexpr size_t maxInputSide = 4096;

    static Result<std::shared_ptr<const OnnxNetwork>, std::string>
    load(const std::filesystem::path& model, const Network::Options& options, const ExecutorOptions& executor = {});
    ~OnnxNetwork() override;

    Result<AlignedFloats, std::string> run(std::span<const float> input) const override;
    Result<AlignedFloats, std::string> run(std::span<const float> input, const StepObserver& observer) const;

    const Dims& outputDims() const { return outputDims_; }
    Precision precision() const { return precision_; }
    // Weight tensors taken from the cache file, out of all the network has.
    size_t weightsFromCache() const { return plan_.weightsFromCache; }
    size_t weightTensorCount() const { return plan_.preparedWeights.size(); }
    double flopsPerRun() const { return flops_; }
    size_t arenaBytes() const { return layout_.arenaBytes; }
    size_t stepCount() const { return plan_.steps.size(); }
    size_t elidedStepCount() const;
    // Number of steps whose kind (e.g. "Reorder", "Conv+Relu+Add") or implementation contains `text`.
    size_t countSteps(const std::string& text) const;
    // The kernels oneDNN chose for the executed steps, most used first, e.g.
    // "jit_wino_4x3:avx512_core ×90, jit:avx512_core ×21": which code a CPU level actually runs.
    std::string kernelSummary() const;

private:
    struct Workspace;

    OnnxNetwork(size_t height, size_t width, ExecutionPlan plan, BufferPlanner::Plan layout, double flops,
                Dims outputDims, Precision precision);
    Result<std::unique_ptr<Workspace>, std::string> makeWorkspace() const;

    Precision precision_; // as resolved at load: fp32, bf16 or int8
    ExecutionPlan plan_;
    BufferPlanner::Plan layout_;
    size_t inputElements_ = 0, outputElements_ = 0;
    double flops_ = 0;
    Dims outputDims_{};

    mutable std::mutex poolMutex_;
    mutable std::vector<std::unique_ptr<Workspace>> pool_;
};

} // namespace pelorin::inference
