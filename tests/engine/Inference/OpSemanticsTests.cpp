// The executor's ops on small synthetic ONNX graphs loaded at 64×64, against plain reference
// implementations at 1e-4, with Winograd kernels allowed and forbidden, and in bf16 and int8 where the CPU
// has them at 3 % of the output's range (a layout, conversion or scale fault is off by far more). Graphs are shaped
// like the real model's patterns (conv+relu chains, residual adds, U-Net concatenations) so fusion,
// layout and buffer sharing are exercised too. MaxPool, which the model only meets on even sizes,
// and the model's fp16 weights and casts are the OpenCV oracle's.
#include "engine/Inference/OnnxTestModel.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace pelorin {
namespace {

using test::OnnxTestModel;
using Network = inference::OnnxNetwork;

constexpr int64_t side = 64;

// ---- the reference: slow, obviously correct implementations written from the ONNX operator
// definitions (direct loops, double accumulation), batch size 1 ---------------------------------

struct Tensor4 {
    std::array<int64_t, 4> dims{}; // N (always 1), C, H, W
    std::vector<float> data;

    Tensor4() = default;
    explicit Tensor4(std::array<int64_t, 4> d) : dims(d), data(size_t(d[1] * d[2] * d[3]), 0.f) {}
    float& at(int64_t c, int64_t h, int64_t w) { return data[size_t((c * dims[2] + h) * dims[3] + w)]; }
    float at(int64_t c, int64_t h, int64_t w) const { return data[size_t((c * dims[2] + h) * dims[3] + w)]; }
};

struct ConvSpec {
    int64_t kernelH, kernelW, strideH, strideW, dilationH, dilationW, padTop, padLeft, padBottom, padRight;
};

// weights: Cout × Cin × kh × kw, row-major; bias: Cout values or empty.
Tensor4 referenceConv(const Tensor4& x, const std::vector<float>& weights, const std::vector<float>& bias,
                      int64_t outChannels, const ConvSpec& s)
{
    const int64_t inC = x.dims[1], inH = x.dims[2], inW = x.dims[3];
    Tensor4 y({1, outChannels, (inH + s.padTop + s.padBottom - s.dilationH * (s.kernelH - 1) - 1) / s.strideH + 1,
               (inW + s.padLeft + s.padRight - s.dilationW * (s.kernelW - 1) - 1) / s.strideW + 1});
    for (int64_t o = 0; o < outChannels; ++o)
        for (int64_t oy = 0; oy < y.dims[2]; ++oy)
            for (int64_t ox = 0; ox < y.dims[3]; ++ox) {
                double sum = bias.empty() ? 0.0 : bias[size_t(o)];
                for (int64_t i = 0; i < inC; ++i)
                    for (int64_t ky = 0; ky < s.kernelH; ++ky)
                        for (int64_t kx = 0; kx < s.kernelW; ++kx) {
                            const int64_t iy = oy * s.strideH - s.padTop + ky * s.dilationH;
                            const int64_t ix = ox * s.strideW - s.padLeft + kx * s.dilationW;
                            if (iy >= 0 && iy < inH && ix >= 0 && ix < inW) // else zero padding
                                sum += double(x.at(i, iy, ix))
                                    * weights[size_t(((o * inC + i) * s.kernelH + ky) * s.kernelW + kx)];
                        }
                y.at(o, oy, ox) = float(sum);
            }
    return y;
}

Tensor4 referenceRelu(Tensor4 x)
{
    for (float& v : x.data)
        v = std::max(v, 0.f);
    return x;
}
Tensor4 referenceSigmoid(Tensor4 x)
{
    for (float& v : x.data)
        v = float(1.0 / (1.0 + std::exp(-double(v))));
    return x;
}
Tensor4 referenceAdd(Tensor4 a, const Tensor4& b)
{
    return std::ranges::transform(a.data, b.data, a.data.begin(), std::plus<>()), a;
}

Tensor4 referenceMaxPool2x2(const Tensor4& x)
{
    Tensor4 y({x.dims[0], x.dims[1], x.dims[2] / 2, x.dims[3] / 2});
    for (int64_t c = 0; c < y.dims[1]; ++c)
        for (int64_t oy = 0; oy < y.dims[2]; ++oy)
            for (int64_t ox = 0; ox < y.dims[3]; ++ox)
                y.at(c, oy, ox) = std::max({x.at(c, 2 * oy, 2 * ox), x.at(c, 2 * oy, 2 * ox + 1),
                                            x.at(c, 2 * oy + 1, 2 * ox), x.at(c, 2 * oy + 1, 2 * ox + 1)});
    return y;
}

Tensor4 referenceConcatChannels(const std::vector<Tensor4>& inputs)
{
    Tensor4 y = inputs.front(); // each input is one contiguous run of channel planes
    for (size_t i = 1; i < inputs.size(); ++i) {
        y.dims[1] += inputs[i].dims[1];
        y.data.insert(y.data.end(), inputs[i].data.begin(), inputs[i].data.end());
    }
    return y;
}

// Resize, mode linear, coordinate_transformation_mode half_pixel, explicit output size.
Tensor4 referenceResizeLinear(const Tensor4& x, int64_t outH, int64_t outW)
{
    Tensor4 y({1, x.dims[1], outH, outW});
    // x_original = (x_resized + 0.5) / scale - 0.5 with scale = out / in; samples outside the
    // input repeat the edge.
    auto source = [](int64_t o, int64_t in, int64_t out, int64_t& i0, int64_t& i1, double& t) {
        const double pos = std::clamp((double(o) + 0.5) * double(in) / double(out) - 0.5, 0.0, double(in - 1));
        i0 = int64_t(std::floor(pos));
        i1 = std::min(i0 + 1, in - 1);
        t = pos - double(i0);
    };
    for (int64_t c = 0; c < y.dims[1]; ++c)
        for (int64_t oy = 0; oy < outH; ++oy)
            for (int64_t ox = 0; ox < outW; ++ox) {
                int64_t y0, y1, x0, x1;
                double ty, tx;
                source(oy, x.dims[2], outH, y0, y1, ty), source(ox, x.dims[3], outW, x0, x1, tx);
                const double top = x.at(c, y0, x0) * (1 - tx) + x.at(c, y0, x1) * tx;
                const double bottom = x.at(c, y1, x0) * (1 - tx) + x.at(c, y1, x1) * tx;
                y.at(c, oy, ox) = float(top * (1 - ty) + bottom * ty);
            }
    return y;
}

// ---- building the graphs ----------------------------------------------------------------------

constexpr ConvSpec same3x3{3, 3, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr ConvSpec pointwise{1, 1, 1, 1, 1, 1, 0, 0, 0, 0};

struct ConvLayer {
    std::vector<float> weights, bias;
    int64_t outChannels = 0;
    ConvSpec spec;

    Tensor4 operator()(const Tensor4& x) const { return referenceConv(x, weights, bias, outChannels, spec); }
};

void addConvNode(OnnxTestModel& model, const std::string& name, const std::vector<std::string>& inputs,
                 const std::string& output, const ConvSpec& spec)
{
    model.node("Conv", inputs, {output}, name)
        .ints("kernel_shape", {spec.kernelH, spec.kernelW})
        .ints("strides", {spec.strideH, spec.strideW})
        .ints("dilations", {spec.dilationH, spec.dilationW})
        .ints("pads", {spec.padTop, spec.padLeft, spec.padBottom, spec.padRight})
        .i("group", 1);
}

// Adds Conv `name` (weights scaled so activations stay near 1) and returns its parameters.
ConvLayer addConv(OnnxTestModel& model, const std::string& name, const std::string& input, const std::string& output,
                  int64_t inChannels, int64_t outChannels, ConvSpec spec, uint32_t seed)
{
    const float scale = 1.5f / std::sqrt(float(inChannels * spec.kernelH * spec.kernelW));
    const size_t count = size_t(outChannels * inChannels * spec.kernelH * spec.kernelW);
    ConvLayer layer{test::seededFloats(count, seed, scale), test::seededFloats(size_t(outChannels), seed + 1, 0.2f),
                    outChannels, spec};
    model.floatInitializer(name + ".weight", {outChannels, inChannels, spec.kernelH, spec.kernelW}, layer.weights);
    model.floatInitializer(name + ".bias", {outChannels}, layer.bias);
    addConvNode(model, name, {input, name + ".weight", name + ".bias"}, output, spec);
    return layer;
}

// A same-size 3×3 Conv followed by a Relu whose output is `name`.
ConvLayer addConvRelu(OnnxTestModel& model, const std::string& name, const std::string& input, int64_t inChannels,
                      int64_t outChannels, uint32_t seed)
{
    auto layer = addConv(model, name, input, name + ".out", inChannels, outChannels, same3x3, seed);
    model.node("Relu", {name + ".out"}, {name});
    return layer;
}

void addResize(OnnxTestModel& model, const std::string& input, const std::string& sizes, const std::string& output)
{
    model.node("Resize", {input, "", "", sizes}, {output})
        .s("mode", "linear")
        .s("coordinate_transformation_mode", "half_pixel")
        .s("nearest_mode", "floor");
}

Tensor4 randomInput(uint32_t seed)
{
    Tensor4 x({1, 3, side, side});
    x.data = test::seededFloats(x.data.size(), seed, 0.5f);
    return x;
}

struct Case {
    const char* what;
    // Adds the graph from "input" to "output" and returns the reference output for `x`.
    std::function<Tensor4(OnnxTestModel&, const Tensor4& x)> build;
};

const Case cases[] = {
    {"convolution with stride, padding and dilation; fused ReLU",
     [](OnnxTestModel& m, const Tensor4& x) {
         // Stride 2 with symmetric padding, a dilated 3×3, a rectangular kernel with asymmetric padding.
         auto a = addConv(m, "a", "input", "a.out", 3, 16, {3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, 11);
         m.node("Relu", {"a.out"}, {"a.relu"});
         auto b = addConv(m, "b", "a.relu", "b.out", 16, 16, {3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, 12);
         m.node("Relu", {"b.out"}, {"b.relu"});
         auto c = addConv(m, "c", "b.relu", "c.out", 16, 32, {5, 3, 1, 1, 1, 1, 2, 0, 2, 2}, 13);
         m.int64Initializer("sizes", {4}, {1, 32, 2 * side, 2 * side});
         addResize(m, "c.out", "sizes", "up");
         // A one-channel head with stride, dilation and uneven padding (run as taps, then their sum).
         auto d = addConv(m, "d", "up", "output", 32, 1, {3, 3, 2, 2, 2, 2, 1, 2, 2, 1}, 14);
         const Tensor4 cx = c(referenceRelu(b(referenceRelu(a(x)))));
         EXPECT_EQ(cx.dims, (std::array<int64_t, 4>{1, 32, 32, 32}));
         return d(referenceResizeLinear(cx, 2 * side, 2 * side));
     }},
    {"residual adds and 3×3 chains",
     [](OnnxTestModel& m, const Tensor4& x) {
         auto h = addConvRelu(m, "h", "input", 3, 32, 31);
         // h is read again below, so this Add must not overwrite it.
         auto r1 = addConvRelu(m, "r1", "h", 32, 32, 32);
         m.node("Add", {"r1", "h"}, {"s1"}, "first_add");
         // Last use of h: this one may accumulate into h's buffer.
         auto r2 = addConvRelu(m, "r2", "s1", 32, 32, 33);
         m.node("Add", {"h", "r2"}, {"s2"}, "second_add");
         m.node("Add", {"s2", "s2"}, {"doubled"}, "self_add");
         // Plain 3×3 chains on both sides of where Winograd starts to pay (32→32 takes it, 32→16 not).
         // p has no ReLU: q's input can be negative (int8 takes it as s8).
         auto p = addConv(m, "p", "doubled", "p.out", 32, 32, same3x3, 35);
         auto q = addConvRelu(m, "q", "p.out", 32, 16, 36);
         auto out = addConv(m, "out", "q", "output", 16, 1, same3x3, 34);
         const Tensor4 hx = referenceRelu(h(x));
         const Tensor4 s2 = referenceAdd(hx, referenceRelu(r2(referenceAdd(referenceRelu(r1(hx)), hx))));
         return out(referenceRelu(q(p(referenceAdd(s2, s2)))));
     }},
    // Sizes computed from Shape arithmetic are folded at load: ConstantFolderTests, and the real model in the oracle.
    {"concatenations and sigmoid",
     [](OnnxTestModel& m, const Tensor4& x) {
         auto a = addConvRelu(m, "a", "input", 3, 16, 61);
         auto b = addConvRelu(m, "b", "a", 16, 32, 62);
         // A decoder's join: a coarser map upsampled, then the skip (int8 resizes it into the join).
         m.node("MaxPool", {"b"}, {"b.pooled"}).ints("kernel_shape", {2, 2}).ints("strides", {2, 2});
         auto e = addConvRelu(m, "e", "b.pooled", 32, 24, 65);
         m.int64Initializer("sizes", {4}, {1, 24, side, side});
         addResize(m, "e", "sizes", "e.up");
         m.node("Concat", {"e.up", "b", "a"}, {"eba"}).i("axis", 1);
         auto c = addConvRelu(m, "c", "eba", 72, 16, 63);
         // An input used twice in one concatenation cannot be a view; the copy must still be right.
         m.node("Concat", {"c", "a", "c"}, {"cac"}).i("axis", -3);
         auto d = addConv(m, "d", "cac", "d.out", 48, 1, same3x3, 64);
         m.node("Sigmoid", {"d.out"}, {"output"});
         const Tensor4 ax = referenceRelu(a(x)), bx = referenceRelu(b(ax));
         const Tensor4 ex = referenceResizeLinear(referenceRelu(e(referenceMaxPool2x2(bx))), side, side);
         const Tensor4 cx = referenceRelu(c(referenceConcatChannels({ex, bx, ax})));
         return referenceSigmoid(d(referenceConcatChannels({cx, ax, cx})));
     }},
};

TEST(OpSemantics, EveryOpMatchesTheReference)
{
    test::TemporaryDirectory directory;
    const Tensor4 x = randomInput(1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        OnnxTestModel model;
        model.input("input", {1, 3, side, side});
        const Tensor4 expected = c.build(model, x);
        ASSERT_EQ(expected.dims, (std::array<int64_t, 4>{1, 1, side, side}));
        model.output("output");
        model.write(directory / "model.onnx");
        // Reduced precision is held to a share of the output's scale: its largest magnitude, or its
        // spread where that is smaller (a sigmoid's output sits around 0.5 whatever its input).
        double magnitude = 0;
        for (float v : expected.data)
            magnitude = std::max(magnitude, std::fabs(double(v)));
        const auto [lowest, highest] = std::ranges::minmax(expected.data);
        const double range = std::min(magnitude, double(highest) - double(lowest));
        // Direct convolution alone is what a CPU without Winograd kernels runs, and the reference
        // lowering the benches compare against.
        // Every concatenation split into per-part convolutions summed (the real model splits only
        // its largest).
        struct Variant {
            const char* what;
            inference::LoweringOptions lowering;
            Precision precision;
            double tolerance;
        };
        std::vector<Variant> variants{{"fp32", {}, Precision::fp32, 1e-4},
                                      {"fp32, direct only", {.winograd = false}, Precision::fp32, 1e-4},
                                      {"fp32, concatenations split", {.splitConcatBytes = 0}, Precision::fp32, 1e-4}};
        if (inference::cpuHasNativeBf16())
            variants.push_back({"bf16", {}, Precision::bf16, 0.03 * range});
        // int8 with ranges measured on this very input, as calibration measures them.
        inference::ActivationRanges ranges{std::string(64, '0'), {}};
        if (inference::cpuHasVnni()) {
            auto fp32 = inference::OnnxNetwork::load(
                directory / "model.onnx", {side, side, Precision::fp32},
                {.lowering = {.splitConcatBytes = SIZE_MAX}, .outputName = {}, .weightCache = {}, .ranges = {}});
            ASSERT_TRUE(fp32) << fp32.error();
            ASSERT_TRUE((*fp32)->run(x.data, [&](const inference::PlanStep& step, const auto& arguments) {
                if (step.inputValue.empty())
                    return;
                float& maximum = ranges.maxima[step.inputValue];
                maximum = std::max(maximum, inference::largestMagnitude(arguments.at(DNNL_ARG_SRC)));
            }));
            variants.push_back({"int8", {}, Precision::int8, 0.03 * range});
        }
        for (const auto& [what, lowering, precision, tolerance] : variants) {
            SCOPED_TRACE(what);
            // No weight cache: test graphs must not displace a real model's cached weights.
            auto loaded = inference::OnnxNetwork::load(
                directory / "model.onnx", {side, side, precision},
                {.lowering = lowering, .outputName = {}, .weightCache = {}, .ranges = ranges});
            ASSERT_TRUE(loaded) << loaded.error();
            const auto& network = *loaded;
            auto output = network->run(x.data);
            ASSERT_TRUE(output) << output.error();
            double worst = 0;
            size_t where = 0;
            for (size_t i = 0; i < output->size(); ++i)
                if (const double d = std::fabs(double((*output)[i]) - expected.data[i]); !(d <= worst)) // NaN is worst
                    worst = d, where = i;
            EXPECT_LE(worst, tolerance) << "at y " << where / side << ", x " << where % side << ": got "
                                        << (*output)[where] << ", expected " << expected.data[where];
            // The caller's input may lie anywhere; the network must read it the same from every address
            // and hand back tensor-aligned output.
            AlignedFloats room(x.data.size() + tensorAlignment);
            for (size_t shift : {1, 15}) { // in floats: 4 and 60 bytes past a boundary
                std::ranges::copy(x.data, room.begin() + ptrdiff_t(shift));
                const auto moved = network->run(std::span<const float>(room.data() + shift, x.data.size()));
                ASSERT_TRUE(moved) << moved.error();
                EXPECT_TRUE(isTensorAligned(moved->data()));
                EXPECT_EQ(*moved, *output) << "input " << shift * sizeof(float) << " bytes past a boundary";
            }
        }
    }
}

} // namespace
} // namespace pelorin
