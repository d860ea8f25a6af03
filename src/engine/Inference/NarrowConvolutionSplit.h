// splitNarrowConvolutions: rewrites each convolution with a few output channels and many input
// channels (a segmentation model's 64→1 mask head) into a 1×1 convolution that produces one
// channel per output channel and kernel tap, followed by a convolution with 0/1 weights that adds
// the taps up at their offsets. AVX-512 kernels compute 16 output channels at a time, so the
// original wastes 15/16 of its arithmetic; the pair does the same sums (reassociated) about three
// times faster.
//
// Contract: a pure function on the graph; stride, padding, dilation, bias and any following ReLU
// keep their meaning (the second convolution carries them).
#pragma once

#include "engine/Inference/ComputeGraph.h"

namespace pelorin::inference {

ComputeGraph splitNarrowConvolutions(ComputeGraph graph);

} // namespace pelorin::inference
