// splitConcatConvolutions: rewrites a convolution of a channel concatenation, conv(concat(A, B)),
// as the sum of convolutions of its parts, conv_A(A) + conv_B(B), each with its slice of the input
// channels. The concatenated tensor is never built, and each part's convolution needs a working
// buffer for its own input channels only: on a segmentation model's full-resolution decoder that
// is the largest memory peak of the run (a 128 MiB concatenation and a 188 MiB Winograd scratchpad).
//
// Contract: a pure function on the graph. The first part's convolution carries the bias; every later
// one is followed by an Add of the running sum, which the lowering fuses as a sum post-op, so any
// following ReLU still sees the whole sum. Only concatenations of at least `minBytes` (fp32) whose
// sole consumer is the convolution are split.
#pragma once

#include "engine/Inference/ComputeGraph.h"

#include <cstddef>

namespace pelorin::inference {

ComputeGraph splitConcatConvolutions(ComputeGraph graph, size_t minBytes);

} // namespace pelorin::inference
