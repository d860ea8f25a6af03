#include "engine/Inference/OnnxNetwork.h"

#include "engine/Imaging/ImageLimits.h"
#include "engine/Inference/ComputeGraph.h"
#include "engine/Inference/ConcatConvolutionSplit.h"
#include "engine/Inference/DnnlBinding.h"
#include "engine/Inference/NarrowConvolutionSplit.h"
#include "engine/Inference/LargeBlock.h"
#include "engine/Inference/OnnxGraph.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "engine/Inference/WinogradConvolution.h"
#include "engine/Common/Sha256.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <future>
#include <system_error>
#include <map>
#include <unordered_map>

namespace pelorin::inference {
namespace {

// Scratchpads start on a page boundary inside the arena, as an allocation of their own would.
constexpr size_t workspaceAlignment = 4096;

size_t alignUp(size_t bytes)
{
    return (bytes + workspaceAlignment - 1) / workspaceAlignment * workspaceAlignment;
}

std::string gigabytes(size_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", double(bytes) / 1e9);
    return text;
}

// Everything the prepared weights depend on besides the weights themselves (checked per tensor).
std::string weightCacheKey(const Sha256Digest& model, size_t height, size_t width, Precision precision,
                           const ExecutorOptions& executor)
{
    const dnnl_version_t* version = dnnl_version();
    return "model=" + hexString(model) + ";onednn=" + std::to_string(version->major) + "."
        + std::to_string(version->minor) + "." + std::to_string(version->patch) + "-" + version->hash
        + ";isa=" + std::to_string(int(dnnl::get_effective_cpu_isa())) + ";input=" + std::to_string(height) + "x"
        + std::to_string(width) + ";precision=" + precisionName(precision) + ";winograd="
        + (executor.lowering.winograd ? "1" : "0") + ";split=" + std::to_string(executor.lowering.splitConcatBytes)
        + ";own=" + (WinogradConvolution::available() ? WinogradConvolution::weightLayout : "none")
        + ";output=" + executor.outputName;
}

size_t physicalMemory()
{
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && pageSize > 0 ? size_t(pages) * size_t(pageSize) : size_t{8} << 30;
}

} // namespace

// Per-run state: the arena every activation and scratchpad lives in, a stream, and each
// step's argument memories bound to those bytes once, at creation. The caller's input is bound
// where it lies when it is tensor-aligned, else copied into stagedInput first.
struct OnnxNetwork::Workspace {
    LargeBlock arena;
    AlignedFloats stagedInput;
    dnnl::stream stream;
    std::vector<std::unordered_map<int, dnnl::memory>> arguments; // per step
    std::vector<dnnl::memory> inputMemories, outputMemories;      // rebound to the caller's buffers
    std::vector<size_t> outputOffsets;
};

OnnxNetwork::OnnxNetwork(size_t height, size_t width, ExecutionPlan plan, BufferPlanner::Plan layout, double flops,
                         Dims outputDims, Precision precision)
    : Network(height, width),
      precision_(precision),
      plan_(std::move(plan)),
      layout_(std::move(layout)),
      flops_(flops),
      outputDims_(outputDims)
{
    inputElements_ = plan_.buffers[size_t(plan_.inputBuffer)].desc.get_size() / sizeof(float);
    outputElements_ = plan_.buffers[size_t(plan_.outputBuffer)].desc.get_size() / sizeof(float);
}

OnnxNetwork::~OnnxNetwork() = default;

Result<std::shared_ptr<const OnnxNetwork>, std::string>
OnnxNetwork::load(const std::filesystem::path& model, const Network::Options& options, const ExecutorOptions& executor)
{
    const size_t height = options.inputHeight, width = options.inputWidth;
    if (height == 0 || width == 0 || height % 32 != 0 || width % 32 != 0 || height > maxInputSide
        || width > maxInputSide || checkImageDimensions(width, height))
        return unexpected("Cannot use an input of " + std::to_string(width) + " × " + std::to_string(height)
                          + " for the model: each side must be a multiple of 32 between 32 and "
                          + std::to_string(maxInputSide));

    const std::string where = "Cannot load the model " + model.string() + ": ";
    const auto resolved = resolvePrecision(options.precision);
    if (!resolved)
        return unexpected(where + resolved.error());
    const Precision precision = *resolved;
    // The model's digest keys the weight cache: hashing the model and reading the cache file run on
    // another core while this one parses.
    // int8 also needs the digest, to find the activation ranges measured on this very model; the
    // quantized biases depend on them, so they are part of the key.
    struct OpenedCache {
        std::string key;
        std::shared_ptr<const PreparedWeightCache> cache;
        std::optional<ActivationRanges> ranges;
    };
    auto openCache = [model, height, width, precision, executor]() -> OpenedCache {
        const auto digest = sha256OfFile(model);
        if (!digest)
            return {};
        OpenedCache opened;
        if (precision == Precision::int8)
            opened.ranges = executor.ranges ? executor.ranges : ActivationRanges::shippedFor(*digest);
        if (!executor.weightCache)
            return opened;
        opened.key = weightCacheKey(*digest, height, width, precision, executor);
        if (opened.ranges)
            opened.key += ";ranges=" + hexString(sha256Of(opened.ranges->toText()));
        opened.cache = PreparedWeightCache::open(*executor.weightCache, opened.key);
        return opened;
    };
    std::future<OpenedCache> openedCache;
    if (executor.weightCache || precision == Precision::int8) {
        try {
            openedCache = std::async(std::launch::async, openCache);
        } catch (const std::system_error&) { // no thread to spare: load as if there were no cache
            if (precision == Precision::int8)
                openedCache = std::async(std::launch::deferred, openCache);
        }
    }
    std::string cacheKey;
    try {
        // Each stage's intermediate data is released before the next grows: the parsed file before
        // lowering finishes, the fp32 weights once they are in the primitives' layouts.
        std::optional<ExecutionPlan> plan;
        double flops = 0;
        Dims outputDims{};
        {
            auto parsed = OnnxGraph::parse(model);
            if (!parsed)
                return unexpected(parsed.error());
            auto graph = ComputeGraph::build(*parsed, int64_t(height), int64_t(width), executor.outputName);
            if (!graph)
                return unexpected(where + graph.error());
            parsed = OnnxGraph{};
            const Dims& in = graph->values[size_t(graph->input)].dims;
            const Dims& out = graph->values[size_t(graph->output)].dims;
            if (in[1] != 3)
                return unexpected(where + "its input has " + std::to_string(in[1]) + " channels, not 3 (RGB)");
            outputDims = out;
            if (executor.outputName.empty() && out != Dims{1, 1, int64_t(height), int64_t(width)})
                return unexpected(where + "its output is " + std::to_string(out[0]) + "×" + std::to_string(out[1]) + "×"
                                  + std::to_string(out[2]) + "×" + std::to_string(out[3]) + ", not a 1×1×"
                                  + std::to_string(height) + "×" + std::to_string(width) + " mask");
            flops = graph->totalFlops();
            LoweringOptions lowering = executor.lowering;
            lowering.precision = precision;
            std::shared_ptr<const PreparedWeightCache> cache;
            std::optional<ActivationRanges> ranges;
            if (openedCache.valid()) {
                OpenedCache opened = openedCache.get();
                cacheKey = std::move(opened.key);
                cache = std::move(opened.cache);
                ranges = std::move(opened.ranges);
            }
            if (precision == Precision::int8) {
                lowering.ranges = ranges ? &*ranges : nullptr;
                if (!lowering.ranges)
                    return unexpected(where
                                      + "int8 needs activation ranges calibrated on this model, and none are "
                                        "known for it; use fp32");
            }
            ComputeGraph rewritten = splitNarrowConvolutions(std::move(*graph));
            // In bf16 a partial sum would be rounded to bf16 between the parts.
            if (precision == Precision::fp32)
                rewritten = splitConcatConvolutions(std::move(rewritten), lowering.splitConcatBytes);
            auto lowered = lowerToDnnl(std::move(rewritten), lowering, std::move(cache));
            if (!lowered)
                return unexpected(where + lowered.error());
            plan = std::move(*lowered);
        }

        // A step's scratchpad is a buffer live during that step alone, so it takes arena bytes that
        // are dead then instead of memory of its own (the largest Winograd scratchpad is 188 MB).
        // Page-aligned within it like a separate allocation would be.
        BufferPlanner planner;
        for (const auto& buffer : plan->buffers)
            planner.addBuffer(buffer.desc.get_size(), buffer.storage);
        for (auto& step : plan->steps) {
            std::vector<int> writes = step.writes;
            if (const size_t bytes = step.scratchpad.get_size()) {
                step.scratchpadBuffer = planner.addBuffer(bytes + workspaceAlignment);
                writes.push_back(step.scratchpadBuffer);
            }
            planner.addStep(step.reads, writes);
        }
        for (const auto& request : plan->inPlace)
            planner.requestInPlace(request.step, request.operand, request.result);
        for (const auto& view : plan->concatViews)
            planner.requestConcatInPlace(view.step, view.output, view.inputsAtOffsets);
        // A cache that was absent, damaged or stale is rewritten; one that cannot be written (a
        // read-only folder, a full disk) only costs the next load the conversion again.
        if (!cacheKey.empty() && plan->weightsFromCache < plan->preparedWeights.size()) {
            std::vector<PreparedWeightCache::Tensor> tensors;
            for (const auto& weight : plan->preparedWeights)
                tensors.push_back({weight.desc, weight.sourceChecksum, weight.memory.get_data_handle()});
            (void)PreparedWeightCache::write(*executor.weightCache, cacheKey, tensors);
        }
        auto layout = planner.plan();
        if (!layout)
            return unexpected(where + "cannot plan its buffers: " + layout.error());
        if (layout->arenaBytes > physicalMemory() / 2)
            return unexpected(where + "an input of " + std::to_string(width) + " × " + std::to_string(height)
                              + " needs " + gigabytes(layout->arenaBytes)
                              + " of working memory, more than this machine can spare");

        return std::shared_ptr<const OnnxNetwork>(
            new OnnxNetwork(height, width, std::move(*plan), std::move(*layout), flops, outputDims, precision));
    } catch (const std::bad_alloc&) {
        return unexpected(where + "not enough memory");
    } catch (const std::exception& e) { // every stage reports its own errors; this is a backstop
        return unexpected(where + e.what());
    }
}

size_t OnnxNetwork::elidedStepCount() const
{
    return size_t(std::count(layout_.elidedSteps.begin(), layout_.elidedSteps.end(), true));
}

size_t OnnxNetwork::countSteps(const std::string& text) const
{
    size_t count = 0;
    for (size_t s = 0; s < plan_.steps.size(); ++s)
        if (!layout_.elidedSteps[s]
            && (plan_.steps[s].kind.find(text) != std::string::npos
                || plan_.steps[s].implementation.find(text) != std::string::npos))
            ++count;
    return count;
}

std::string OnnxNetwork::kernelSummary() const
{
    std::map<std::string, size_t> counts;
    for (size_t s = 0; s < plan_.steps.size(); ++s)
        if (!layout_.elidedSteps[s])
            ++counts[plan_.steps[s].implementation];
    std::vector<std::pair<std::string, size_t>> sorted(counts.begin(), counts.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string summary;
    for (const auto& [kernel, count] : sorted)
        summary += (summary.empty() ? "" : ", ") + kernel + " ×" + std::to_string(count);
    return summary;
}

Result<std::unique_ptr<OnnxNetwork::Workspace>, std::string> OnnxNetwork::makeWorkspace() const
{
    try {
        auto workspace = std::make_unique<Workspace>();
        workspace->arena = allocateLargeBlock(layout_.arenaBytes);
        workspace->stream = dnnl::stream(plan_.engine);
        workspace->arguments.resize(plan_.steps.size());
        // One memory object per buffer, shared by every step that touches it. The caller's buffers
        // are bound for each run; arena buffers now, at offsets the planner keeps aligned.
        std::vector<dnnl::memory> memories(plan_.buffers.size());
        auto memoryOf = [&](int buffer) -> Result<dnnl::memory, std::string> {
            dnnl::memory& memory = memories[size_t(buffer)];
            if (memory)
                return memory;
            const auto& location = layout_.buffers[size_t(buffer)];
            const auto& desc = plan_.buffers[size_t(buffer)].desc;
            void* bytes = DNNL_MEMORY_NONE;
            switch (location.storage) {
            case BufferPlanner::Storage::arena: bytes = workspace->arena.get() + location.offset; break;
            case BufferPlanner::Storage::externalInput:
            case BufferPlanner::Storage::externalOutput:
                if (location.offset % tensorAlignment != 0)
                    return unexpected("internal error: buffer " + std::to_string(buffer) + " lies at offset "
                                      + std::to_string(location.offset) + " of the caller's tensor");
                break;
            }
            auto made = alignedMemory(desc, plan_.engine, bytes, "activation buffer " + std::to_string(buffer));
            if (!made)
                return unexpected(made.error());
            memory = *made;
            if (location.storage == BufferPlanner::Storage::externalInput) {
                workspace->inputMemories.push_back(memory);
            } else if (location.storage == BufferPlanner::Storage::externalOutput) {
                workspace->outputMemories.push_back(memory);
                workspace->outputOffsets.push_back(location.offset);
            }
            return memory;
        };
        for (size_t s = 0; s < plan_.steps.size(); ++s) {
            const PlanStep& step = plan_.steps[s];
            auto& arguments = workspace->arguments[s];
            for (const auto& [arg, buffer] : step.buffers) {
                auto memory = memoryOf(buffer);
                if (!memory)
                    return unexpected(memory.error());
                arguments.emplace(arg, *memory);
            }
            for (const auto& [arg, memory] : step.constants)
                arguments.emplace(arg, memory);
            if (step.scratchpad.get_size() > 0) {
                const size_t offset = alignUp(layout_.buffers[size_t(step.scratchpadBuffer)].offset);
                auto scratchpad =
                    alignedMemory(step.scratchpad, plan_.engine, workspace->arena.get() + offset, "a scratchpad");
                if (!scratchpad)
                    return unexpected(scratchpad.error());
                arguments.emplace(DNNL_ARG_SCRATCHPAD, *scratchpad);
            }
        }
        return workspace;
    } catch (const std::bad_alloc&) {
        return unexpected("not enough memory for the network's working buffers (" + gigabytes(layout_.arenaBytes)
                          + ")");
    } catch (const dnnl::error& e) {
        return unexpected(std::string("oneDNN cannot prepare a run: ") + e.what());
    }
}

Result<AlignedFloats, std::string> OnnxNetwork::run(std::span<const float> input) const
{
    return run(input, StepObserver());
}

Result<AlignedFloats, std::string> OnnxNetwork::run(std::span<const float> input, const StepObserver& observer) const
{
    if (input.size() != inputElements_)
        return unexpected("The network expects " + std::to_string(inputElements_) + " input values (1 × 3 × "
                          + std::to_string(inputHeight()) + " × " + std::to_string(inputWidth()) + "), got "
                          + std::to_string(input.size()));

    std::unique_ptr<Workspace> workspace;
    {
        std::lock_guard lock(poolMutex_);
        if (!pool_.empty()) {
            workspace = std::move(pool_.back());
            pool_.pop_back();
        }
    }
    if (!workspace) {
        auto made = makeWorkspace();
        if (!made)
            return unexpected(made.error());
        workspace = std::move(*made);
    }

    AlignedFloats output;
    try {
        output.resize(outputElements_);
        auto* source = const_cast<float*>(input.data()); // oneDNN's handles are not const; sources are only read
        if (!isTensorAligned(source)) {
            workspace->stagedInput.assign(input.begin(), input.end());
            source = workspace->stagedInput.data();
        }
        auto bindCallerBuffers = [&](float* in, float* out) -> Result<void, std::string> {
            for (auto& memory : workspace->inputMemories)
                if (auto bound = bindAligned(memory, in, "the network's input"); !bound)
                    return bound;
            for (size_t k = 0; k < workspace->outputMemories.size(); ++k) {
                std::byte* at = out ? reinterpret_cast<std::byte*>(out) + workspace->outputOffsets[k] : nullptr;
                if (auto bound = bindAligned(workspace->outputMemories[k], at, "the network's output"); !bound)
                    return bound;
            }
            return {};
        };
        if (auto bound = bindCallerBuffers(source, output.data()); !bound)
            return unexpected(bound.error());
        for (size_t s = 0; s < plan_.steps.size(); ++s) {
            if (layout_.elidedSteps[s])
                continue;
            const PlanStep& step = plan_.steps[s];
            if (observer) {
                workspace->stream.wait();
                observer(step, workspace->arguments[s]);
            }
            if (step.kernel)
                step.kernel(workspace->arguments[s]);
            else
                step.primitive.execute(workspace->stream, workspace->arguments[s]);
        }
        workspace->stream.wait();
        // Drop the caller's pointers so a pooled workspace never holds them.
        (void)bindCallerBuffers(nullptr, nullptr);
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("not enough memory for the network's output"));
    } catch (const dnnl::error& e) {
        return unexpected(std::string("the network failed to run: ") + e.what());
    }

    std::lock_guard lock(poolMutex_);
    pool_.push_back(std::move(workspace));
    return output;
}

} // namespace pelorin::inference

namespace pelorin {

Result<std::shared_ptr<const Network>, std::string> Network::load(const std::filesystem::path& model,
                                                                  const Options& options)
{
    auto network = inference::OnnxNetwork::load(model, options,
                                                {.lowering = {},
                                                 .outputName = {},
                                                 .weightCache = inference::PreparedWeightCache::defaultDirectory(),
                                                 .ranges = {}});
    if (!network)
        return unexpected(network.error());
    return std::shared_ptr<const Network>(std::move(*network));
}

} // namespace pelorin
