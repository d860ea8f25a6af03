// Our Winograd convolution against oneDNN's direct convolution on seeded random tensors: every
// channel count pair the segmentation model uses, image sides that are and are not multiples of
// the 4×4 tile (down to one pixel), and each epilogue (bias, ReLU, residual add or accumulation).
// Tolerance: 5e-5 of the largest |value| of the direct result (F(4×4, 3×3) loses about two decimal
// digits of fp32); the worst seen on this suite is printed.
#include "engine/Inference/WinogradConvolution.h"

#include <gtest/gtest.h>
#include <oneapi/dnnl/dnnl.hpp>

#include <cmath>
#include <cstdio>
#include <new>
#include <random>
#include <vector>

namespace pelorin::inference {
namespace {

using dnnl::memory;
using tag = memory::format_tag;
using dt = memory::data_type;
using Residual = WinogradConvolution::Residual;

struct AlignedBuffer {
    explicit AlignedBuffer(size_t floats)
        : data(static_cast<float*>(::operator new (std::max<size_t>(floats, 16) * sizeof(float), std::align_val_t{64})))
    {
    }
    ~AlignedBuffer() { ::operator delete (data, std::align_val_t{64}); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    float* data;
};

struct Case {
    int64_t in, out, height, width;
    bool relu;
    Residual residual;
};

// oneDNN's direct convolution with the same epilogue, on nChw8c tensors.
void directConvolution(const Case& c, const float* source, const float* weights, const float* bias,
                       const float* residual, float* destination)
{
    dnnl::engine engine(dnnl::engine::kind::cpu, 0);
    dnnl::stream stream(engine);
    const memory::desc src({1, c.in, c.height, c.width}, dt::f32, tag::nChw8c);
    const memory::desc dst({1, c.out, c.height, c.width}, dt::f32, tag::nChw8c);
    dnnl::post_ops ops;
    if (c.relu)
        ops.append_eltwise(1.f, dnnl::algorithm::eltwise_relu, 0.f, 0.f);
    if (c.residual != Residual::none)
        ops.append_binary(dnnl::algorithm::binary_add, dst);
    dnnl::primitive_attr attr;
    attr.set_post_ops(ops);
    dnnl::convolution_forward::primitive_desc pd({dnnl::prop_kind::forward_inference,
                                                  dnnl::algorithm::convolution_direct,
                                                  src,
                                                  memory::desc({c.out, c.in, 3, 3}, dt::f32, tag::oihw),
                                                  memory::desc({c.out}, dt::f32, tag::a),
                                                  dst,
                                                  {1, 1},
                                                  {1, 1},
                                                  {1, 1}},
                                                 attr, engine);
    std::unordered_map<int, memory> args{
        {DNNL_ARG_SRC, memory(src, engine, const_cast<float*>(source))},
        {DNNL_ARG_WEIGHTS, memory(pd.weights_desc(), engine, const_cast<float*>(weights))},
        {DNNL_ARG_BIAS, memory(pd.bias_desc(), engine, const_cast<float*>(bias))},
        {DNNL_ARG_DST, memory(dst, engine, destination)}};
    if (c.residual != Residual::none)
        args.emplace(DNNL_ARG_ATTR_MULTIPLE_POST_OP(c.relu ? 1 : 0) | DNNL_ARG_SRC_1,
                     memory(dst, engine, const_cast<float*>(residual)));
    dnnl::convolution_forward(pd).execute(stream, args);
    stream.wait();
}

TEST(WinogradConvolution, MatchesDirectConvolution)
{
    if (!WinogradConvolution::available())
        GTEST_SKIP() << "no AVX2 and FMA here";
    std::vector<Case> cases;
    // The model's channel pairs, at a side that is a multiple of the tile and one that is not.
    const int64_t pairs[][2] = {{16, 16},   {32, 16},   {32, 32},   {64, 32},   {64, 16},   {32, 64},    {64, 64},
                                {128, 32},  {64, 128},  {128, 64},  {256, 64},  {128, 128}, {128, 256},  {256, 128},
                                {512, 128}, {256, 256}, {256, 512}, {512, 256}, {512, 512}, {1024, 256}, {1024, 512}};
    for (size_t i = 0; i < std::size(pairs); ++i) {
        const int64_t side = pairs[i][0] * pairs[i][1] > 65536 ? 6 : 16;
        cases.push_back({pairs[i][0], pairs[i][1], side, side, true, i % 3 == 0 ? Residual::add : Residual::none});
        cases.push_back({pairs[i][0], pairs[i][1], side + 3, side - 3, i % 2 == 0, Residual::accumulate});
    }
    // Sizes smaller than one tile, odd, and more tiles than one block holds; an 8-channel tail panel.
    for (auto [h, w] : {std::pair{1, 1}, {1, 7}, {5, 1}, {3, 3}, {37, 29}, {130, 66}})
        cases.push_back({24, 40, h, w, true, Residual::none});
    cases.push_back({8, 8, 64, 64, false, Residual::add});

    std::mt19937 random(20261208);
    std::uniform_real_distribution<float> uniform(-1.f, 1.f);
    double worst = 0;
    for (int tile : {4, 6})
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << "F(" << tile << "×" << tile << ") " << c.in << "→" << c.out << " at "
                                            << c.height << "×" << c.width);
            const size_t inFloats = size_t(c.in * c.height * c.width), outFloats = size_t(c.out * c.height * c.width);
            AlignedBuffer source(inFloats), residual(outFloats), expected(outFloats), actual(outFloats);
            std::vector<float> weights(size_t(c.out * c.in * 9)), bias(size_t(c.out));
            for (size_t i = 0; i < inFloats; ++i)
                source.data[i] = uniform(random);
            for (size_t i = 0; i < outFloats; ++i)
                residual.data[i] = actual.data[i] = uniform(random); // accumulation starts from the residual
            const float scale = 1.f / std::sqrt(float(c.in * 9));    // keeps outputs near unit size
            for (float& w : weights)
                w = uniform(random) * scale;
            for (float& b : bias)
                b = uniform(random);

            directConvolution(c, source.data, weights.data(), bias.data(), residual.data, expected.data);
            WinogradConvolution kernel({c.in, c.out, c.height, c.width, c.height, c.width, 1, 1, c.relu, c.residual}, 2,
                                       0, tile);
            AlignedBuffer transformed(kernel.transformedWeightCount()),
                scratch(kernel.scratchpadBytes() / sizeof(float));
            kernel.transformWeights(weights.data(), transformed.data);
            kernel.execute(source.data, actual.data, c.residual == Residual::add ? residual.data : nullptr,
                           transformed.data, bias.data(), reinterpret_cast<std::byte*>(scratch.data));

            double range = 0, error = 0;
            for (size_t i = 0; i < outFloats; ++i) {
                range = std::max(range, double(std::fabs(expected.data[i])));
                error = std::max(error, double(std::fabs(expected.data[i] - actual.data[i]))); // NaN fails below
            }
            EXPECT_LE(error, 5e-5 * range) << "largest |value| " << range;
            worst = std::max(worst, error / range);
        }
    std::printf("[ winograd ] %zu cases, worst error %.2e of the largest value\n", cases.size(), worst);
}

} // namespace
} // namespace pelorin::inference
