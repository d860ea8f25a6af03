#include "engine/Inference/ConcatConvolutionSplit.h"

#include <memory>
#include <utility>

namespace pelorin::inference {
namespace {

size_t valueBytes(const ComputeValue& value)
{
    return size_t(value.dims[0] * value.dims[1] * value.dims[2] * value.dims[3]) * sizeof(float);
}

// Input channels [begin, begin + count) of Cout × Cin × kh × kw weights.
std::shared_ptr<const Tensor> channelSlice(const Tensor& weights, int64_t begin, int64_t count)
{
    const int64_t outChannels = weights.dims[0], inChannels = weights.dims[1];
    const int64_t taps = weights.dims[2] * weights.dims[3];
    auto slice = std::make_shared<Tensor>();
    slice->dims = {outChannels, count, weights.dims[2], weights.dims[3]};
    slice->floats.reserve(size_t(outChannels * count * taps));
    for (int64_t o = 0; o < outChannels; ++o) {
        const auto from = weights.floats.begin() + (o * inChannels + begin) * taps;
        slice->floats.insert(slice->floats.end(), from, from + count * taps);
    }
    return slice;
}

} // namespace

ComputeGraph splitConcatConvolutions(ComputeGraph graph, size_t minBytes)
{
    // The parts of every splittable concatenation, by the value it makes (ops are moved below).
    std::vector<std::vector<int>> partsOf(graph.values.size());
    for (const auto& op : graph.ops) {
        const auto& value = graph.values[size_t(op.output)];
        if (op.kind == OpKind::concat && op.axis == 1 && op.inputs.size() > 1 && op.output != graph.output
            && value.consumers.size() == 1 && graph.ops[size_t(value.consumers[0])].kind == OpKind::convolution
            && valueBytes(value) >= minBytes)
            partsOf[size_t(op.output)] = op.inputs;
    }
    std::vector<ComputeOp> ops;
    ops.reserve(graph.ops.size());
    for (auto& op : graph.ops) {
        if (op.kind != OpKind::convolution || partsOf[size_t(op.inputs[0])].empty()) {
            ops.push_back(std::move(op));
            continue;
        }
        const std::vector<int> parts = partsOf[size_t(op.inputs[0])];
        const Dims outDims = graph.values[size_t(op.output)].dims;
        const std::string outName = graph.values[size_t(op.output)].name;
        int sum = -1;
        int64_t channel = 0;
        for (size_t i = 0; i < parts.size(); ++i) {
            const int64_t channels = graph.values[size_t(parts[i])].dims[1];
            const bool last = i + 1 == parts.size();
            ComputeOp part;
            part.kind = OpKind::convolution;
            part.name = op.name + " (part " + std::to_string(i + 1) + ")";
            part.inputs = {parts[i]};
            part.convolution = op.convolution;
            part.convolution.weights = channelSlice(*op.convolution.weights, channel, channels);
            if (i > 0)
                part.convolution.bias = nullptr;
            channel += channels;

            auto newValue = [&](const std::string& suffix) {
                graph.values.push_back({outName + suffix, outDims, -1, {}});
                return int(graph.values.size()) - 1;
            };
            if (i == 0) {
                part.output = newValue(" (part 1)");
                sum = part.output;
                ops.push_back(std::move(part));
                continue;
            }
            part.output = newValue(" (part " + std::to_string(i + 1) + ")");
            ComputeOp add;
            add.kind = OpKind::add;
            add.name = op.name + " (sum " + std::to_string(i + 1) + ")";
            add.inputs = {part.output, sum};
            add.output = last ? op.output : newValue(" (sum " + std::to_string(i + 1) + ")");
            sum = add.output;
            ops.push_back(std::move(part));
            ops.push_back(std::move(add));
        }
    }
    graph.ops = std::move(ops);
    return pruneDeadOps(std::move(graph));
}

} // namespace pelorin::inference
