// ComputeGraph: what is left of an ONNX graph once the input size is fixed: the compute ops
// (convolution, ReLU, max pooling, linear resize, concatenation, addition, sigmoid) in execution
// order, every tensor a 4-D float tensor with a known shape. Constant subgraphs are folded
// (ConstantFolder), Cast and Identity on computed tensors become aliases (everything runs in fp32:
// fp16 casts are widened), and ops that do not contribute to the chosen output are dropped.
//
// Contract: build() never throws; it refuses an unsupported op, attribute or shape with a message
// naming the node. The graph is a value, immutable once built.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/OnnxGraph.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace pelorin::inference {

using Dims = std::array<int64_t, 4>; // N, C, H, W

enum class OpKind { convolution, relu, maxPool, resize, concat, add, sigmoid };

const char* opKindName(OpKind kind);

struct ConvolutionParams {
    std::array<int64_t, 2> kernel{1, 1}, stride{1, 1}, dilation{1, 1}, padBegin{0, 0}, padEnd{0, 0};
    std::shared_ptr<const Tensor> weights; // Cout × Cin × kh × kw
    std::shared_ptr<const Tensor> bias;    // Cout, or null
};

struct PoolingParams {
    std::array<int64_t, 2> kernel{1, 1}, stride{1, 1}, padBegin{0, 0};
    std::array<int64_t, 2> padEnd{0, 0}; // includes the extra row/column of ceil mode
};

struct ComputeOp {
    OpKind kind = OpKind::relu;
    std::string name;        // the ONNX node's name, for messages and profiles
    std::vector<int> inputs; // value ids
    int output = -1;
    ConvolutionParams convolution;
    PoolingParams pooling;
    int64_t axis = 1; // concat

    // Multiply-adds × 2 of a convolution; 0 for every other op.
    double flops(const struct ComputeGraph& graph) const;
};

struct ComputeValue {
    std::string name;
    Dims dims{};
    int producer = -1;          // op index; -1 for the graph input
    std::vector<int> consumers; // op indices, ascending
};

struct ComputeGraph {
    std::vector<ComputeValue> values;
    std::vector<ComputeOp> ops; // execution order
    int input = -1;
    int output = -1;

    double totalFlops() const;

    // The graph for an input of 1 × C × height × width, computing `outputName`: a graph output or any
    // intermediate tensor; when empty, the output named "output", or else the first output.
    static Result<ComputeGraph, std::string> build(const OnnxGraph& graph, int64_t height, int64_t width,
                                                   const std::string& outputName = {});
};

// Drops the ops whose results never reach the output and renumbers what is left, recomputing every
// value's producer and consumers. `graph.ops` must be in execution order.
ComputeGraph pruneDeadOps(ComputeGraph graph);

// One operand of a node being converted: a constant tensor or a computed value.
struct Operand {
    std::shared_ptr<const Tensor> constant;
    int value = -1;
    bool present() const { return constant || value >= 0; }
};

// Validates a compute node's attributes and operands and infers its output shape. `values` gives
// the shapes of computed operands; `opset` the model's default-domain version (Resize's inputs
// changed with it). Fails naming the node, the op and the attribute or operand.
Result<ComputeOp, std::string> buildComputeOp(const Node& node, const std::vector<Operand>& operands,
                                              const std::vector<ComputeValue>& values, Dims& outputDims, int64_t opset);

// True for the ops buildComputeOp accepts.
bool isComputeOp(const std::string& op);

} // namespace pelorin::inference
