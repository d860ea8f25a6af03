// ConstantFolder: evaluates, at load time, the small ops that exporters emit to compute shapes and
// sizes (Constant, Shape, Slice, Concat, Cast, Gather, Unsqueeze, Squeeze, Reshape, Identity,
// Add/Sub/Mul/Div, Floor, Ceil), so every Resize ends up with explicit sizes for the chosen input
// resolution and the executor only ever sees compute ops.
//
// Contract: pure functions on small tensors; they never throw. An attribute or input combination
// outside what is implemented is refused with a message naming the node, the op and the cause.
#pragma once

#include "engine/Common/Result.h"
#include "engine/Inference/OnnxGraph.h"

#include <span>
#include <string>

namespace pelorin::inference {

// True when `op` is one fold() can evaluate (given constant inputs).
bool isFoldableOp(const std::string& op);

// Evaluates `node` whose inputs are all constant; inputs[i] is null for an omitted optional input.
// Shape nodes go through foldShape instead.
Result<Tensor, std::string> foldConstantNode(const Node& node, std::span<const Tensor* const> inputs);

// A Shape node over a tensor with dimensions `dims` (constant or computed), honouring start/end.
Result<Tensor, std::string> foldShape(const Node& node, std::span<const int64_t> dims);

} // namespace pelorin::inference
