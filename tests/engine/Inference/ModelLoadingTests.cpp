// What load() and run() refuse, and how they say it: damaged files, ops and attributes outside the
// executor's set (named with their node), shapes that do not fit, inputs of the wrong size. Ops the
// constant folder cannot evaluate are ConstantFolderTests'.
#include "engine/Inference/OnnxTestModel.h"
#include "engine/Inference/Network.h"
#include "engine/Inference/OnnxNetwork.h"
#include "engine/Inference/PrecisionPolicy.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace pelorin {
namespace {

using test::OnnxTestModel;
using Extra = std::function<std::string(OnnxTestModel&)>;

// input → Conv(3→16, 3×3) → Relu → [extra] → Conv(16→1, 3×3) → output; `extra` may insert nodes
// between "hidden" and the name it returns.
void buildModel(OnnxTestModel& model, const Extra& extra = {})
{
    model.input("input", {1, 3, -1, -1});
    model.floatInitializer("w1", {16, 3, 3, 3}, std::vector<float>(16 * 27, 0.01f));
    model.floatInitializer("w2", {1, 16, 3, 3}, std::vector<float>(16 * 9, 0.02f));
    model.node("Conv", {"input", "w1"}, {"conv1"}, "first_conv").ints("pads", {1, 1, 1, 1});
    model.node("Relu", {"conv1"}, {"hidden"});
    const std::string last = extra ? extra(model) : "hidden";
    model.node("Conv", {last, "w2"}, {"output"}, "last_conv").ints("pads", {1, 1, 1, 1});
    model.output("output");
}

// A Resize of `input` to 64×64. Which attribute values are accepted is one table (requireText),
// checked here through one of them.
void resize(OnnxTestModel& m, const std::string& input, const std::string& output, const std::string& name = "",
            const std::string& mode = "linear")
{
    m.int64Initializer("sz", {4}, {1, 16, 64, 64});
    m.node("Resize", {input, "", "", "sz"}, {output}, name).s("mode", mode);
}

class ModelLoading : public ::testing::Test {
protected:
    std::filesystem::path write(const OnnxTestModel& model)
    {
        model.write(directory_ / "model.onnx");
        return directory_ / "model.onnx";
    }

    // The load error, or a failure when the model loads.
    std::string loadError(const std::filesystem::path& file, Network::Options options = {64, 64})
    {
        auto network = Network::load(file, options);
        EXPECT_FALSE(network) << file << " loaded";
        return network ? std::string() : network.error();
    }

    std::string loadError(const OnnxTestModel& model) { return loadError(write(model)); }

    test::TemporaryDirectory directory_;
};

// PELORIN_PRECISION is the user's override of the automatic choice; a typo or bf16 on a processor
// without it is refused by name rather than quietly run some other way (or emulated, many times slower).
TEST_F(ModelLoading, PrecisionSettingsAreResolvedOrRefusedByName)
{
    OnnxTestModel model;
    buildModel(model);
    const auto file = write(model);
    const bool native = inference::cpuHasNativeBf16();
    // "fp32", "bf16", "int8", or the load error.
    const auto precisionWith = [&](const char* setting, Precision asked) -> std::string {
        setting ? setenv("PELORIN_PRECISION", setting, 1) : unsetenv("PELORIN_PRECISION");
        auto network = inference::OnnxNetwork::load(file, {64, 64, asked});
        unsetenv("PELORIN_PRECISION");
        return !network ? network.error() : precisionName((*network)->precision());
    };
    EXPECT_EQ(precisionWith(nullptr, Precision::automatic), "fp32");
    EXPECT_EQ(precisionWith("auto", Precision::automatic), "fp32");
    EXPECT_EQ(precisionWith("bf16", Precision::fp32), "fp32") << "an explicit choice outranks the setting";
    EXPECT_NE(precisionWith("fp16", Precision::automatic)
                  .find("PELORIN_PRECISION must be fp32, bf16, int8 or auto, not \"fp16\""),
              std::string::npos);
    const auto bf16 = precisionWith("bf16", Precision::automatic);
    if (native)
        EXPECT_EQ(bf16, "bf16");
    else
        EXPECT_NE(bf16.find("native bf16"), std::string::npos) << bf16;
    // int8 scales come from ranges measured on the very model: a model nobody calibrated is refused
    // rather than run on guessed ranges.
    const auto int8 = precisionWith("int8", Precision::automatic);
    EXPECT_NE(int8.find(inference::cpuHasVnni() ? "activation ranges calibrated on this model" : "VNNI"),
              std::string::npos)
        << int8;
}

TEST_F(ModelLoading, SizesOffTheGridOfPoolingAndInputsOfTheWrongSizeAreRefused)
{
    OnnxTestModel model;
    buildModel(model);
    const auto file = write(model);
    auto network = Network::load(file, {32, 96});
    ASSERT_TRUE(network) << network.error();
    auto wrong = (*network)->run(std::vector<float>(3 * 32 * 96 - 1, 1.f));
    ASSERT_FALSE(wrong);
    EXPECT_NE(wrong.error().find(std::to_string(3 * 32 * 96)), std::string::npos) << wrong.error();
    for (auto [height, width] : {std::pair<size_t, size_t>{100, 64}, {0, 64}, {64, 8192}})
        EXPECT_NE(loadError(file, {height, width}).find("multiple of 32"), std::string::npos);
}

TEST_F(ModelLoading, DamagedFilesAreRefusedWithTheirNameAndWhy)
{
    OnnxTestModel model;
    buildModel(model);
    const std::string bytes = model.serialized();
    test::writeFileBytes(directory_ / "truncated.onnx",
                         std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(bytes.size() * 2 / 3)));
    test::writeFileBytes(directory_ / "empty.onnx", {});
    for (const auto& [name, why] : {std::pair{"truncated.onnx", "damaged or truncated"},
                                    {"empty.onnx", "the file is empty"},
                                    {"missing.onnx", "does not exist"}}) {
        const auto file = directory_ / name;
        const std::string error = loadError(file);
        for (const std::string& part : {"Cannot load the model " + file.string(), std::string(why)})
            EXPECT_NE(error.find(part), std::string::npos) << error;
    }
}

TEST_F(ModelLoading, UnsupportedOpsAndAttributesAreNamed)
{
    const std::tuple<const char*, Extra, std::vector<std::string>> cases[] = {
        // what, graph, parts of the message
        {"an op outside the set",
         [](OnnxTestModel& m) { return m.node("LeakyRelu", {"hidden"}, {"leaky"}, "my_leaky_relu"), "leaky"; },
         {"my_leaky_relu", "LeakyRelu", "not supported"}},
        {"grouped convolution",
         [](OnnxTestModel& m) {
             m.floatInitializer("wg", {16, 8, 3, 3}, std::vector<float>(16 * 8 * 9, 0.f));
             return m.node("Conv", {"hidden", "wg"}, {"grouped"}, "grouped_conv").i("group", 2), "grouped";
         },
         {"grouped_conv", "Conv", "'group'"}},
        {"nearest resize",
         [](OnnxTestModel& m) { return resize(m, "hidden", "resized", "nearest_resize", "nearest"), "resized"; },
         {"nearest_resize", "Resize", "'mode'", "nearest"}},
        {"broadcasting add",
         [](OnnxTestModel& m) {
             m.floatInitializer("offset", {1, 16, 1, 1}, std::vector<float>(16, 1.f));
             return m.node("Add", {"hidden", "offset"}, {"shifted"}, "bias_add"), "shifted";
         },
         {"bias_add", "Add", "constant"}},
        {"shape arithmetic on computed data",
         [](OnnxTestModel& m) {
             m.int64Initializer("s0", {1}, {0});
             m.int64Initializer("s1", {1}, {8});
             return m.node("Slice", {"hidden", "s0", "s1", "s0"}, {"sliced"}, "data_slice"), "sliced";
         },
         {"data_slice", "Slice", "computed"}},
    };
    for (const auto& [what, extra, expected] : cases) {
        OnnxTestModel model;
        buildModel(model, extra);
        const std::string error = loadError(model);
        for (const auto& part : expected)
            EXPECT_NE(error.find(part), std::string::npos) << what << ": \"" << error << "\" lacks \"" << part << "\"";
    }
}

TEST_F(ModelLoading, ShapesThatDoNotFitAreRefused)
{
    // Resize sizes baked for one input size meet a skip connection at another.
    OnnxTestModel fixed;
    buildModel(fixed, [](OnnxTestModel& m) {
        m.node("MaxPool", {"hidden"}, {"pooled"}, "pool").ints("kernel_shape", {2, 2}).ints("strides", {2, 2});
        resize(m, "pooled", "up", "baked_resize");
        m.node("Concat", {"up", "hidden"}, {"joined"}, "skip_concat").i("axis", 1);
        m.floatInitializer("wj", {16, 32, 1, 1}, std::vector<float>(32 * 16, 0.1f));
        m.node("Conv", {"joined", "wj"}, {"mixed"}, "mix");
        return "mixed";
    });
    const auto file = write(fixed);
    EXPECT_TRUE(Network::load(file, {64, 64}));
    EXPECT_NE(loadError(file, {128, 128}).find("skip_concat"), std::string::npos) << loadError(file, {128, 128});

    // The output must be a one-channel mask at the input's size, from an RGB input, without cycles.
    const std::tuple<const char*, std::function<void(OnnxTestModel&)>, const char*> cases[] = {
        {"two output channels",
         [](OnnxTestModel& m) {
             m.input("input", {1, 3, 64, 64});
             m.floatInitializer("w", {2, 3, 1, 1}, std::vector<float>(6, 1.f));
             m.node("Conv", {"input", "w"}, {"output"});
         },
         "1×2×64×64"},
        {"grey input",
         [](OnnxTestModel& m) {
             m.input("input", {1, 1, 64, 64});
             m.node("Relu", {"input"}, {"output"});
         },
         "1 channels"},
        {"a cycle",
         [](OnnxTestModel& m) {
             m.input("input", {1, 3, 64, 64});
             m.node("Add", {"input", "b"}, {"a"});
             m.node("Relu", {"a"}, {"b"});
             m.node("Relu", {"b"}, {"output"});
         },
         "cycle"},
    };
    for (const auto& [what, build, expected] : cases) {
        OnnxTestModel model;
        build(model);
        model.output("output");
        const std::string error = loadError(model);
        EXPECT_NE(error.find(expected), std::string::npos) << what << ": " << error;
    }
}

} // namespace
} // namespace pelorin
