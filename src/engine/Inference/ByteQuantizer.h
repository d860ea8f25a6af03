// quantizeToBytes and its variants: x × scale rounded to the nearest integer and saturated to u8
// (0–255) or s8 (−128–127), for an int8 convolution's input in the layout the kernel reads. oneDNN's
// reorder takes a slow path when source and destination are both NHWC; these are streaming passes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pelorin::inference {

// Spread over the OpenMP threads; AVX2 where the processor has it.
void quantizeToBytes(const float* in, void* out, size_t count, float scale, bool toSigned);

// The same for `rows` runs of `width` values, read densely and written `outStride` bytes apart: one
// input's channels into its slice of a channel-interleaved (NHWC) concatenation.
void quantizeRowsToBytes(const float* in, size_t rows, size_t width, void* out, size_t outStride, float scale,
                         bool toSigned);

// Linear resizing (half-pixel centres, edge pixels repeated, as ONNX's linear Resize) of an NHWC
// image of `channels` floats per pixel from inHeight × inWidth to outHeight × outWidth, quantized
// as above, output pixels `outStride` bytes apart: an upsampled input built straight into its slice
// of a concatenation, without the full-size fp32 tensor in between.
// Max pooling of an NHWC image of `channels` floats per pixel (windows of kernelH × kernelW, moved
// by strideH × strideW, starting padTop/padLeft before the image; cells outside it never count),
// quantized as above into a dense NHWC byte image: a pooled map straight into the next int8
// convolution's input. The maximum of the quantized values is the quantized maximum.
struct PoolingWindow {
    size_t kernelH, kernelW, strideH, strideW, padTop, padLeft;
};
void maxPoolToBytes(const float* in, size_t inHeight, size_t inWidth, size_t channels, const PoolingWindow& window,
                    void* out, size_t outHeight, size_t outWidth, float scale, bool toSigned);

void resizeLinearToBytes(const float* in, size_t inHeight, size_t inWidth, size_t channels, void* out, size_t outHeight,
                         size_t outWidth, size_t outStride, float scale, bool toSigned);

} // namespace pelorin::inference
