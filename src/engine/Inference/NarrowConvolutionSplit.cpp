#include "engine/Inference/NarrowConvolutionSplit.h"

namespace pelorin::inference {
namespace {

// Worth it when the taps fill at most one 16-channel block and the reduction is long enough for
// the 1×1 convolution to pay for its extra pass over memory.
bool isNarrow(const ComputeOp& op)
{
    if (op.kind != OpKind::convolution)
        return false;
    const auto& dims = op.convolution.weights->dims; // Cout × Cin × kh × kw
    const int64_t taps = dims[0] * dims[2] * dims[3];
    return dims[0] < 8 && taps > dims[0] && taps <= 16 && dims[1] >= 32;
}

} // namespace

ComputeGraph splitNarrowConvolutions(ComputeGraph graph)
{
    std::vector<ComputeOp> ops;
    ops.reserve(graph.ops.size() + 1);
    for (auto& op : graph.ops) {
        if (!isNarrow(op)) {
            ops.push_back(std::move(op));
            continue;
        }
        const Tensor& weights = *op.convolution.weights;
        const int64_t outChannels = weights.dims[0], inChannels = weights.dims[1];
        const int64_t kh = weights.dims[2], kw = weights.dims[3], taps = outChannels * kh * kw;

        // Tap t = (o, ky, kx) gathers weight w[o][c][ky][kx] over the input channels c.
        auto gather = std::make_shared<Tensor>();
        gather->dims = {taps, inChannels, 1, 1};
        gather->floats.resize(size_t(taps * inChannels));
        auto sum = std::make_shared<Tensor>();
        sum->dims = {outChannels, taps, kh, kw};
        sum->floats.assign(size_t(outChannels * taps * kh * kw), 0.f);
        for (int64_t o = 0; o < outChannels; ++o)
            for (int64_t ky = 0; ky < kh; ++ky)
                for (int64_t kx = 0; kx < kw; ++kx) {
                    const int64_t t = (o * kh + ky) * kw + kx;
                    for (int64_t c = 0; c < inChannels; ++c)
                        gather->floats[size_t(t * inChannels + c)] =
                            weights.floats[size_t(((o * inChannels + c) * kh + ky) * kw + kx)];
                    sum->floats[size_t(((o * taps + t) * kh + ky) * kw + kx)] = 1.f;
                }

        const Dims inputDims = graph.values[size_t(op.inputs[0])].dims;
        const int tapsValue = int(graph.values.size());
        graph.values.push_back({graph.values[size_t(op.output)].name + " (taps)",
                                {inputDims[0], taps, inputDims[2], inputDims[3]},
                                -1,
                                {}});
        ComputeOp first;
        first.kind = OpKind::convolution;
        first.name = op.name + " (taps)";
        first.inputs = op.inputs;
        first.output = tapsValue;
        first.convolution.weights = std::move(gather);
        ops.push_back(std::move(first));

        op.inputs = {tapsValue};
        op.convolution.weights = std::move(sum);
        ops.push_back(std::move(op));
    }
    graph.ops = std::move(ops);
    return pruneDeadOps(std::move(graph));
}

} // namespace pelorin::inference
