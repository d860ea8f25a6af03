// Slow, obviously correct NCHW implementations of the ops the executor runs, written from the
// ONNX operator definitions (direct loops, double accumulation), to check the fast path against.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pelorin::test {

struct Tensor4 {
    std::array<int64_t, 4> dims{}; // N, C, H, W
    std::vector<float> data;

    Tensor4() = default;
    explicit Tensor4(std::array<int64_t, 4> d) : dims(d), data(size_t(d[0] * d[1] * d[2] * d[3]), 0.f) {}
    size_t index(int64_t n, int64_t c, int64_t h, int64_t w) const { return size_t(((n * dims[1] + c) * dims[2] + h) * dims[3] + w); }
    float& at(int64_t n, int64_t c, int64_t h, int64_t w) { return data[index(n, c, h, w)]; }
    float at(int64_t n, int64_t c, int64_t h, int64_t w) const { return data[index(n, c, h, w)]; }
};

struct ConvSpec {
    int64_t kernelH = 3, kernelW = 3;
    int64_t strideH = 1, strideW = 1;
    int64_t dilationH = 1, dilationW = 1;
    int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
};

// weights: Cout × Cin × kh × kw, row-major; bias: Cout values or empty.
Tensor4 referenceConv(const Tensor4& x, const std::vector<float>& weights, const std::vector<float>& bias,
                      int64_t outChannels, const ConvSpec& spec);
Tensor4 referenceRelu(Tensor4 x);
Tensor4 referenceSigmoid(Tensor4 x);
Tensor4 referenceAdd(Tensor4 a, const Tensor4& b);
Tensor4 referenceConcatChannels(const std::vector<Tensor4>& inputs);
// Max pooling with the ONNX output-size rule (ceil mode drops a window starting in the end padding).
Tensor4 referenceMaxPool(const Tensor4& x, int64_t kernel, int64_t stride, bool ceilMode);
// ONNX Resize, mode linear, coordinate_transformation_mode half_pixel, explicit output size.
Tensor4 referenceResizeLinear(const Tensor4& x, int64_t outH, int64_t outW);

// Seeded values in [low, high).
std::vector<float> seededValues(size_t count, uint32_t seed, float low, float high);

} // namespace pelorin::test
