// Each op kind the executor runs, on small synthetic ONNX graphs loaded through Network::load at
// 64×64, against the plain reference implementations (ReferenceOps.h) at 1e-4. Graphs are shaped
// like the real model's patterns (conv+relu chains, residual adds, U-Net concatenations, resize
// sizes computed from Shape) so fusion, layout and buffer sharing are exercised too; the white-box
// counts make sure the fast paths under test are really taken.
#include "engine/Inference/OnnxTestModel.h"
#include "engine/Inference/ReferenceOps.h"
#include "engine/Inference/DnnlBinding.h"
#include "engine/Inference/OnnxNetwork.h"
#include "support/CpuLevel.h"
#include "support/TestSupport.h"

#ifndef ONNX_ML
#define ONNX_ML 1
#endif
#include <onnx/onnx_pb.h>

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <sstream>
#include <thread>

namespace pelorin {
namespace {

using test::ConvSpec;
using test::OnnxTestModel;
using test::Tensor4;

constexpr int64_t side = 64;
constexpr double tolerance = 1e-4;

struct ConvLayer {
    std::vector<float> weights, bias;
    int64_t outChannels = 0;
    ConvSpec spec;

    Tensor4 apply(const Tensor4& x) const { return test::referenceConv(x, weights, bias, outChannels, spec); }
};

void addConvNode(OnnxTestModel& model, const std::string& name, const std::vector<std::string>& inputs,
                 const std::string& output, const ConvSpec& spec)
{
    auto& node = model.node("Conv", inputs, {output}, name);
    OnnxTestModel::setInts(node, "kernel_shape", {spec.kernelH, spec.kernelW});
    OnnxTestModel::setInts(node, "strides", {spec.strideH, spec.strideW});
    OnnxTestModel::setInts(node, "dilations", {spec.dilationH, spec.dilationW});
    OnnxTestModel::setInts(node, "pads", {spec.padTop, spec.padLeft, spec.padBottom, spec.padRight});
    OnnxTestModel::setInt(node, "group", 1);
}

// Adds Conv `name` (weights scaled so activations stay near 1) and returns its parameters.
ConvLayer addConv(OnnxTestModel& model, const std::string& name, const std::string& input, const std::string& output,
                  int64_t inChannels, int64_t outChannels, ConvSpec spec, uint32_t seed)
{
    const float scale = 1.5f / std::sqrt(float(inChannels * spec.kernelH * spec.kernelW));
    const size_t count = size_t(outChannels * inChannels * spec.kernelH * spec.kernelW);
    ConvLayer layer{test::seededValues(count, seed, -scale, scale),
                    test::seededValues(size_t(outChannels), seed + 1, -0.2f, 0.2f), outChannels, spec};
    model.floatInitializer(name + ".weight", {outChannels, inChannels, spec.kernelH, spec.kernelW}, layer.weights);
    model.floatInitializer(name + ".bias", {outChannels}, layer.bias);
    addConvNode(model, name, {input, name + ".weight", name + ".bias"}, output, spec);
    return layer;
}

constexpr ConvSpec same3x3{3, 3, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr ConvSpec pointwise{1, 1, 1, 1, 1, 1, 0, 0, 0, 0};

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
    auto& node = model.node("Resize", {input, "", "", sizes}, {output});
    OnnxTestModel::setString(node, "mode", "linear");
    OnnxTestModel::setString(node, "coordinate_transformation_mode", "half_pixel");
    OnnxTestModel::setString(node, "nearest_mode", "floor");
    OnnxTestModel::setFloat(node, "cubic_coeff_a", -0.75f);
}

void addMaxPool(OnnxTestModel& model, const std::string& input, const std::string& output, bool ceilMode)
{
    auto& node = model.node("MaxPool", {input}, {output});
    OnnxTestModel::setInts(node, "kernel_shape", {2, 2});
    OnnxTestModel::setInts(node, "strides", {2, 2});
    OnnxTestModel::setInt(node, "ceil_mode", ceilMode ? 1 : 0);
}

Tensor4 randomInput(uint32_t seed)
{
    Tensor4 x({1, 3, side, side});
    x.data = test::seededValues(x.data.size(), seed, -0.5f, 0.5f);
    return x;
}

class OpSemantics : public ::testing::Test {
protected:
    OpSemantics() { model.input("input", {1, 3, side, side}); }

    std::filesystem::path write()
    {
        const auto file = directory_ / ("model" + std::to_string(files_++) + ".onnx");
        model.write(file);
        return file;
    }

    std::shared_ptr<const inference::OnnxNetwork> load(bool winograd = true)
    {
        auto network = inference::OnnxNetwork::load(write(), {side, side}, {.lowering = {.winograd = winograd}, .outputName = {}});
        EXPECT_TRUE(network) << network.error();
        return network ? *network : nullptr;
    }

    // Loads through the public entry point and runs once.
    std::vector<float> run(const Tensor4& input)
    {
        auto network = Network::load(write(), {side, side});
        EXPECT_TRUE(network) << network.error();
        if (!network)
            return {};
        auto output = (*network)->run(input.data);
        EXPECT_TRUE(output) << output.error();
        return output ? std::vector<float>(output->begin(), output->end()) : std::vector<float>{};
    }

    static void expectClose(std::span<const float> actual, const Tensor4& expected, const std::string& what)
    {
        ASSERT_EQ(actual.size(), expected.data.size()) << what;
        double worst = 0;
        size_t worstIndex = 0;
        for (size_t i = 0; i < actual.size(); ++i)
            if (const double d = std::fabs(double(actual[i]) - expected.data[i]); !(d <= worst)) // NaN is worst
                worst = d, worstIndex = i;
        EXPECT_LE(worst, tolerance) << what << ": at index " << worstIndex << " (y " << worstIndex / side << ", x "
                                    << worstIndex % side << ") got " << actual[worstIndex] << ", expected "
                                    << expected.data[worstIndex];
    }

    // Runs with the Winograd kernels allowed and forbidden; `check` adds white-box counts.
    void expectBothKernels(const Tensor4& expected,
                           const std::function<void(const inference::OnnxNetwork&)>& check = {})
    {
        for (bool winograd : {true, false}) {
            SCOPED_TRACE(winograd ? "Winograd allowed" : "direct only");
            auto network = load(winograd);
            ASSERT_TRUE(network);
            EXPECT_EQ(network->countSteps("wino") > 0, winograd && test::winogradAvailable()) << test::cpuLevelLine();
            if (check)
                check(*network);
            auto output = network->run(x.data);
            ASSERT_TRUE(output) << output.error();
            expectClose(*output, expected, "output");
        }
    }

    OnnxTestModel model; // each test's graph, fed by "input"
    const Tensor4 x = randomInput(1);
    test::TemporaryDirectory directory_;
    int files_ = 0;
};

TEST_F(OpSemantics, ConvolutionWithStridePaddingDilationAndFusedRelu)
{
    // Stride 2 with symmetric padding, a dilated 3×3, a rectangular kernel with asymmetric padding.
    auto a = addConv(model, "a", "input", "a.out", 3, 16, {3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, 11);
    model.node("Relu", {"a.out"}, {"a.relu"});
    auto b = addConv(model, "b", "a.relu", "b.out", 16, 16, {3, 3, 1, 1, 2, 2, 2, 2, 2, 2}, 12);
    model.node("Relu", {"b.out"}, {"b.relu"});
    auto c = addConv(model, "c", "b.relu", "c.out", 16, 32, {5, 3, 1, 1, 1, 1, 2, 0, 2, 2}, 13);
    model.int64Initializer("sizes", {4}, {1, 32, 2 * side, 2 * side});
    addResize(model, "c.out", "sizes", "up");
    // A one-channel head with stride, dilation and uneven padding (run as taps, then their sum).
    auto d = addConv(model, "d", "up", "output", 32, 1, {3, 3, 2, 2, 2, 2, 1, 2, 2, 1}, 14);
    model.output("output");

    Tensor4 expected = c.apply(test::referenceRelu(b.apply(test::referenceRelu(a.apply(x)))));
    ASSERT_EQ(expected.dims, (std::array<int64_t, 4>{1, 32, 32, 32}));
    expected = d.apply(test::referenceResizeLinear(expected, 2 * side, 2 * side));
    ASSERT_EQ(expected.dims, (std::array<int64_t, 4>{1, 1, side, side}));
    expectClose(run(x), expected, "conv chain");

    auto network = load();
    ASSERT_TRUE(network);
    EXPECT_EQ(network->countSteps("Conv+Relu"), 2u) << "both ReLUs fuse into their convolutions";
    EXPECT_EQ(network->countSteps("Relu"), 2u) << "no ReLU runs on its own";
}

TEST_F(OpSemantics, ResidualAddsAndThreeByThreeChainsMatchWithAndWithoutWinograd)
{
    auto h = addConvRelu(model, "h", "input", 3, 32, 31);
    // h is read again below, so this Add must not overwrite it.
    auto r1 = addConvRelu(model, "r1", "h", 32, 32, 32);
    model.node("Add", {"r1", "h"}, {"s1"}, "first_add");
    // Last use of h: this one may accumulate into h's buffer.
    auto r2 = addConvRelu(model, "r2", "s1", 32, 32, 33);
    model.node("Add", {"h", "r2"}, {"s2"}, "second_add");
    model.node("Add", {"s2", "s2"}, {"doubled"}, "self_add");
    // Plain 3×3 chains on both sides of where Winograd starts to pay (32→32 takes it, 32→16 not).
    auto p = addConvRelu(model, "p", "doubled", 32, 32, 35);
    auto q = addConvRelu(model, "q", "p", 32, 16, 36);
    auto out = addConv(model, "out", "q", "output", 16, 1, same3x3, 34);
    model.output("output");

    const Tensor4 hx = test::referenceRelu(h.apply(x));
    const Tensor4 s1 = test::referenceAdd(test::referenceRelu(r1.apply(hx)), hx);
    const Tensor4 s2 = test::referenceAdd(hx, test::referenceRelu(r2.apply(s1)));
    const Tensor4 doubled = test::referenceAdd(s2, s2);
    const Tensor4 expected = out.apply(test::referenceRelu(q.apply(test::referenceRelu(p.apply(doubled)))));
    expectClose(run(x), expected, "residual adds");

    // The first Add reads h as a second source of its convolution (a binary post-op, direct
    // kernels only); the last may accumulate into h's buffer (a sum post-op, which the Winograd
    // kernel supports). The Add of s2 to itself stays a separate step.
    expectBothKernels(expected, [](const inference::OnnxNetwork& network) {
        EXPECT_EQ(network.countSteps("Conv+Relu+Add"), 2u);
        EXPECT_EQ(network.countSteps("Add"), 3u);
    });
}

TEST_F(OpSemantics, MaxPoolCeilModeOnOddSizesIgnoresPadding)
{
    // 4×4 unpadded: 61×61, then ceil pooling to 31, 16; floor pooling to 8. Values stay signed, so
    // a partial window at the edge that counted padding as 0 would show.
    auto a = addConv(model, "a", "input", "a.out", 3, 16, {4, 4, 1, 1, 1, 1, 0, 0, 0, 0}, 41);
    addMaxPool(model, "a.out", "p1", true);
    addMaxPool(model, "p1", "p2", true);
    model.node("Relu", {"p2"}, {"p2.relu"});
    addMaxPool(model, "p2.relu", "p3", false);
    model.int64Initializer("sizes", {4}, {1, 16, side, side});
    addResize(model, "p3", "sizes", "up");
    auto b = addConv(model, "b", "up", "output", 16, 1, pointwise, 42);
    model.output("output");

    const Tensor4 p1 = test::referenceMaxPool(a.apply(x), 2, 2, true);
    const Tensor4 p2 = test::referenceMaxPool(p1, 2, 2, true);
    ASSERT_EQ(p1.dims[2], 31);
    ASSERT_EQ(p2.dims[2], 16);
    const Tensor4 p3 = test::referenceMaxPool(test::referenceRelu(p2), 2, 2, false);
    const Tensor4 expected = b.apply(test::referenceResizeLinear(p3, side, side));
    expectClose(run(x), expected, "pooling chain");
}

TEST_F(OpSemantics, ResizeSizesFoldedFromShapeArithmetic)
{
    auto a = addConv(model, "a", "input", "y", 3, 8, {3, 3, 2, 2, 1, 1, 1, 1, 1, 1}, 51); // 32×32
    // Exporter style: sizes = Cast(Concat(Slice(Shape(y), 0, 2), Constant[48, 40])).
    model.node("Shape", {"y"}, {"y.shape"});
    model.int64Initializer("zero", {1}, {0});
    model.int64Initializer("two", {1}, {2});
    model.node("Slice", {"y.shape", "zero", "two", "zero"}, {"nc"});
    auto& constant = model.node("Constant", {}, {"hw"});
    OnnxTestModel::setInt64Tensor(constant, "value", {2}, {48, 40});
    OnnxTestModel::setInt(model.node("Concat", {"nc", "hw"}, {"sizes.f"}), "axis", 0);
    OnnxTestModel::setInt(model.node("Cast", {"sizes.f"}, {"sizes"}), "to", onnx::TensorProto::INT64);
    addResize(model, "y", "sizes", "mid"); // 32×32 → 48×40: fractional source positions
    // Back to the input's size from Gather/Unsqueeze on the input's own shape.
    model.node("Shape", {"input"}, {"x.shape"});
    model.int64Initializer("h.index", {}, {2});
    model.int64Initializer("w.index", {}, {3});
    model.node("Gather", {"x.shape", "h.index"}, {"h"});
    model.node("Gather", {"x.shape", "w.index"}, {"w"});
    model.node("Unsqueeze", {"h", "zero"}, {"h1"});
    model.node("Unsqueeze", {"w", "zero"}, {"w1"});
    model.node("Shape", {"mid"}, {"mid.shape"});
    model.node("Slice", {"mid.shape", "zero", "two"}, {"nc2"});
    OnnxTestModel::setInt(model.node("Concat", {"nc2", "h1", "w1"}, {"sizes2"}), "axis", 0);
    addResize(model, "mid", "sizes2", "up");
    auto b = addConv(model, "b", "up", "output", 8, 1, pointwise, 52);
    model.output("output");

    const Tensor4 mid = test::referenceResizeLinear(a.apply(x), 48, 40);
    const Tensor4 expected = b.apply(test::referenceResizeLinear(mid, side, side));
    expectClose(run(x), expected, "resize chain");
}

TEST_F(OpSemantics, ConcatenationsAndSigmoid)
{
    auto a = addConvRelu(model, "a", "input", 3, 16, 61);
    auto b = addConvRelu(model, "b", "a", 16, 32, 62);
    OnnxTestModel::setInt(model.node("Concat", {"b", "a"}, {"ba"}), "axis", 1); // U-Net skip: a came first
    auto c = addConvRelu(model, "c", "ba", 48, 16, 63);
    // An input used twice in one concatenation cannot be a view; the copy must still be right.
    OnnxTestModel::setInt(model.node("Concat", {"c", "a", "c"}, {"cac"}), "axis", -3);
    auto d = addConv(model, "d", "cac", "d.out", 48, 1, same3x3, 64);
    model.node("Sigmoid", {"d.out"}, {"output"});
    model.output("output");

    const Tensor4 ax = test::referenceRelu(a.apply(x));
    const Tensor4 bx = test::referenceRelu(b.apply(ax));
    const Tensor4 cx = test::referenceRelu(c.apply(test::referenceConcatChannels({bx, ax})));
    const Tensor4 expected = test::referenceSigmoid(d.apply(test::referenceConcatChannels({cx, ax, cx})));
    expectClose(run(x), expected, "concatenations");

    auto network = load();
    ASSERT_TRUE(network);
    EXPECT_EQ(network->elidedStepCount(), 1u) << "the first concatenation is produced in place";
}

// IEEE binary16 bits of zero or a value exactly representable as a normal half (checked).
uint16_t halfBits(float value)
{
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const uint32_t sign = (bits >> 16) & 0x8000u;
    const int exponent = int((bits >> 23) & 0xFF) - 127 + 15;
    const uint32_t mantissa = bits & 0x7FFFFFu;
    if (value == 0)
        return uint16_t(sign);
    EXPECT_TRUE(exponent > 0 && exponent < 31 && (mantissa & 0x1FFFu) == 0) << value << " is not a normal half";
    return uint16_t(sign | uint32_t(exponent) << 10 | mantissa >> 13);
}

TEST_F(OpSemantics, HalfPrecisionWeightsAndCastsAreWidenedExactly)
{
    // Weights k/64 (exact in fp16), plus the smallest subnormal, the largest normal and a negative
    // zero, placed where they change the result.
    ConvLayer a{{}, {}, 16, same3x3}, b{std::vector<float>(16, 0.f), {}, 1, pointwise};
    std::vector<uint16_t> bits, biasBits;
    for (size_t i = 0; i < size_t(16 * 3 * 9); ++i) {
        a.weights.push_back(float(int(i * 37 % 129) - 64) / 256.f);
        bits.push_back(halfBits(a.weights.back()));
    }
    for (int i = 0; i < 16; ++i) {
        a.bias.push_back(float(i - 8) / 32.f);
        biasBits.push_back(halfBits(a.bias.back()));
    }
    bits[5] = 0x0001; // 2^-24
    a.weights[5] = std::ldexp(1.f, -24);
    bits[6] = 0x8000; // -0
    a.weights[6] = 0.f;
    biasBits[15] = 0x7BFF; // 65504, the largest half: the ReLU keeps it
    a.bias[15] = 65504.f;
    b.weights[3] = 0.25f;
    b.weights[15] = 1.f / 4096.f;
    model.halfInitializer("a.weight", {16, 3, 3, 3}, bits);
    model.halfInitializer("a.bias", {16}, biasBits);
    addConvNode(model, "a", {"input", "a.weight", "a.bias"}, "a.out", same3x3);
    model.node("Relu", {"a.out"}, {"a"});
    // The real model casts activations to fp16 and back around its resizes; we compute in fp32.
    OnnxTestModel::setInt(model.node("Cast", {"a"}, {"a.half"}), "to", onnx::TensorProto::FLOAT16);
    OnnxTestModel::setInt(model.node("Cast", {"a.half"}, {"a.float"}), "to", onnx::TensorProto::FLOAT);
    std::vector<uint16_t> wBits;
    for (float w : b.weights)
        wBits.push_back(halfBits(w));
    model.halfInitializer("b.weight", {1, 16, 1, 1}, wBits);
    addConvNode(model, "b", {"a.float", "b.weight"}, "output", pointwise);
    model.output("output");

    const Tensor4 expected = b.apply(test::referenceRelu(a.apply(x)));
    expectClose(run(x), expected, "fp16 weights");
}

TEST_F(OpSemantics, ConcurrentRunsAndInputAtAnyAddressGiveTheSameOutput)
{
    addConvRelu(model, "a", "input", 3, 16, 81);
    addConv(model, "b", "a", "output", 16, 1, same3x3, 82);
    model.output("output");
    auto network = load();
    ASSERT_TRUE(network);

    std::vector<Tensor4> inputs;
    std::vector<AlignedFloats> sequential, concurrent(4);
    for (uint32_t seed = 8; seed < 12; ++seed) {
        inputs.push_back(randomInput(seed));
        sequential.push_back(network->run(inputs.back().data).value());
    }
    std::vector<std::thread> threads;
    for (size_t t = 0; t < inputs.size(); ++t)
        threads.emplace_back([&, t] {
            for (int repeat = 0; repeat < 5; ++repeat)
                concurrent[t] = network->run(inputs[t].data).value();
        });
    for (auto& thread : threads)
        thread.join();
    for (size_t t = 0; t < inputs.size(); ++t)
        EXPECT_EQ(concurrent[t], sequential[t]) << "input " << t;
    EXPECT_NE(sequential[0], sequential[1]);

    // The caller's input may lie anywhere; the network must read it the same from every address
    // and hand back tensor-aligned output, and its binding layer must refuse what a kernel could
    // fault on.
    const Tensor4& x = inputs[0];
    const AlignedFloats& reference = sequential[0];
    AlignedFloats room(x.data.size() + tensorAlignment);
    for (size_t shift : {size_t{0}, size_t{1}, size_t{4}, size_t{12}, size_t{15}}) { // in floats: 0–60 bytes
        std::copy(x.data.begin(), x.data.end(), room.begin() + ptrdiff_t(shift));
        const auto output = network->run(std::span<const float>(room.data() + shift, x.data.size()));
        ASSERT_TRUE(output) << output.error();
        EXPECT_TRUE(isTensorAligned(output->data()));
        EXPECT_EQ(*output, reference) << "input " << shift * sizeof(float) << " bytes past a boundary";
    }

    dnnl::memory memory({{1, 16}, dnnl::memory::data_type::f32, dnnl::memory::format_tag::ab},
                        dnnl::engine(dnnl::engine::kind::cpu, 0), DNNL_MEMORY_NONE);
    const auto refused = inference::bindAligned(memory, room.data() + 4, "the test's buffer");
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("the test's buffer"), std::string::npos) << refused.error();
    EXPECT_EQ(memory.get_data_handle(), nullptr) << "a refused pointer must not stay bound";
    EXPECT_TRUE(inference::bindAligned(memory, room.data(), "the test's buffer"));
    EXPECT_EQ(memory.get_data_handle(), room.data());
}

} // namespace
} // namespace pelorin
