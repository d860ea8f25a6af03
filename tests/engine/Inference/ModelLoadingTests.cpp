// What load() and run() refuse, and how they say it: damaged files, ops and attributes outside the
// executor's set (named with their node), shapes that do not fit, inputs of the wrong size.
#include "engine/Inference/OnnxTestModel.h"
#include "engine/Inference/Network.h"
#include "support/TestSupport.h"

#ifndef ONNX_ML
#define ONNX_ML 1
#endif
#include <onnx/onnx_pb.h>

#include <gtest/gtest.h>

#include <functional>

namespace pelorin {
namespace {

using test::OnnxTestModel;

// input → Conv(3→16, 3×3) → Relu → [extra] → Conv(16→1, 3×3) → output; `extra` may insert nodes
// between "hidden" and the name it returns.
void buildModel(OnnxTestModel& model, const std::function<std::string(OnnxTestModel&)>& extra = {})
{
    model.input("input", {1, 3, -1, -1});
    model.floatInitializer("w1", {16, 3, 3, 3}, std::vector<float>(16 * 27, 0.01f));
    model.floatInitializer("w2", {1, 16, 3, 3}, std::vector<float>(16 * 9, 0.02f));
    auto& conv = model.node("Conv", {"input", "w1"}, {"conv1"}, "first_conv");
    OnnxTestModel::setInts(conv, "pads", {1, 1, 1, 1});
    model.node("Relu", {"conv1"}, {"hidden"});
    const std::string last = extra ? extra(model) : "hidden";
    auto& conv2 = model.node("Conv", {last, "w2"}, {"output"}, "last_conv");
    OnnxTestModel::setInts(conv2, "pads", {1, 1, 1, 1});
    model.output("output");
}

class ModelLoading : public ::testing::Test {
protected:
    std::filesystem::path write(const OnnxTestModel& model)
    {
        const auto file = directory_ / "model.onnx";
        model.write(file);
        return file;
    }

    // The load error, or a failure when the model loads.
    std::string loadError(const std::filesystem::path& file, Network::Options options = {64, 64})
    {
        auto network = Network::load(file, options);
        if (network) {
            ADD_FAILURE() << file << " loaded";
            return {};
        }
        return network.error();
    }

    std::string loadError(const OnnxTestModel& model) { return loadError(write(model)); }

    test::TemporaryDirectory directory_;
};

TEST_F(ModelLoading, ValidModelLoadsAtAnyMultipleOf32AndChecksItsInput)
{
    OnnxTestModel model;
    buildModel(model);
    const auto file = write(model);
    for (auto [height, width] : {std::pair<size_t, size_t>{64, 64}, {32, 96}}) {
        auto network = Network::load(file, {height, width});
        ASSERT_TRUE(network) << network.error();
        EXPECT_EQ((*network)->inputHeight(), height);
        auto output = (*network)->run(std::vector<float>(3 * height * width, 1.f));
        ASSERT_TRUE(output) << output.error();
        EXPECT_EQ(output->size(), height * width);
        // A constant input and constant weights: the centre sees full 3×3 windows twice over.
        EXPECT_NEAR((*output)[(height / 2) * width + width / 2], 16 * 9 * 0.02 * (27 * 0.01), 1e-5);

        auto wrong = (*network)->run(std::vector<float>(3 * height * width - 1, 1.f));
        ASSERT_FALSE(wrong);
        EXPECT_NE(wrong.error().find(std::to_string(3 * height * width)), std::string::npos) << wrong.error();
    }
    for (auto [height, width] : {std::pair<size_t, size_t>{100, 64}, {0, 64}, {64, 8192}})
        EXPECT_NE(loadError(file, {height, width}).find("multiple of 32"), std::string::npos);
}

TEST_F(ModelLoading, DamagedFilesAreRefusedWithTheirName)
{
    OnnxTestModel model;
    buildModel(model);
    const std::string bytes = model.serialized();

    const auto truncated = directory_ / "truncated.onnx";
    test::writeFileBytes(truncated, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(bytes.size() * 2 / 3)));
    const auto garbage = directory_ / "garbage.onnx";
    test::writeFileBytes(garbage, test::randomBytes(4096, 7));
    const auto empty = directory_ / "empty.onnx";
    test::writeFileBytes(empty, {});
    const auto text = directory_ / "text.onnx";
    const std::string html = "<html><body>404 Not Found</body></html>\n";
    test::writeFileBytes(text, std::vector<uint8_t>(html.begin(), html.end()));

    for (const auto& file : {truncated, garbage, empty, text, directory_ / "missing.onnx", directory_.path()}) {
        const std::string error = loadError(file);
        EXPECT_NE(error.find(file.string()), std::string::npos) << error;
        EXPECT_NE(error.find("Cannot load the model"), std::string::npos) << error;
    }
    EXPECT_NE(loadError(truncated).find("damaged or truncated"), std::string::npos) << loadError(truncated);
    EXPECT_NE(loadError(directory_ / "missing.onnx").find("does not exist"), std::string::npos);
}

TEST_F(ModelLoading, UnsupportedOpsAndAttributesAreNamed)
{
    struct Case {
        std::string what;
        std::function<std::string(OnnxTestModel&)> extra;
        std::vector<std::string> expected; // substrings of the message
    };
    const std::vector<Case> cases{
        {"an op outside the set",
         [](OnnxTestModel& m) {
             auto& node = m.node("LeakyRelu", {"hidden"}, {"leaky"}, "my_leaky_relu");
             OnnxTestModel::setFloat(node, "alpha", 0.1f);
             return std::string("leaky");
         },
         {"my_leaky_relu", "LeakyRelu", "not supported"}},
        {"grouped convolution",
         [](OnnxTestModel& m) {
             m.floatInitializer("wg", {16, 8, 3, 3}, std::vector<float>(16 * 8 * 9, 0.f));
             auto& node = m.node("Conv", {"hidden", "wg"}, {"grouped"}, "grouped_conv");
             OnnxTestModel::setInt(node, "group", 2);
             return std::string("grouped");
         },
         {"grouped_conv", "Conv", "'group'"}},
        {"automatic padding",
         [](OnnxTestModel& m) {
             m.floatInitializer("wa", {16, 16, 3, 3}, std::vector<float>(16 * 16 * 9, 0.f));
             auto& node = m.node("Conv", {"hidden", "wa"}, {"padded"}, "auto_conv");
             OnnxTestModel::setString(node, "auto_pad", "SAME_UPPER");
             return std::string("padded");
         },
         {"auto_conv", "'auto_pad'", "SAME_UPPER"}},
        {"nearest resize",
         [](OnnxTestModel& m) {
             m.int64Initializer("sz", {4}, {1, 16, 64, 64});
             auto& node = m.node("Resize", {"hidden", "", "", "sz"}, {"resized"}, "nearest_resize");
             OnnxTestModel::setString(node, "mode", "nearest");
             return std::string("resized");
         },
         {"nearest_resize", "Resize", "'mode'", "nearest"}},
        {"align-corners resize",
         [](OnnxTestModel& m) {
             m.int64Initializer("sz", {4}, {1, 16, 64, 64});
             auto& node = m.node("Resize", {"hidden", "", "", "sz"}, {"resized"}, "corner_resize");
             OnnxTestModel::setString(node, "mode", "linear");
             OnnxTestModel::setString(node, "coordinate_transformation_mode", "align_corners");
             return std::string("resized");
         },
         {"corner_resize", "'coordinate_transformation_mode'", "align_corners"}},
        {"dilated pooling",
         [](OnnxTestModel& m) {
             auto& node = m.node("MaxPool", {"hidden"}, {"pooled"}, "dilated_pool");
             OnnxTestModel::setInts(node, "kernel_shape", {2, 2});
             OnnxTestModel::setInts(node, "dilations", {2, 2});
             m.int64Initializer("sz", {4}, {1, 16, 64, 64});
             auto& up = m.node("Resize", {"pooled", "", "", "sz"}, {"up"});
             OnnxTestModel::setString(up, "mode", "linear");
             return std::string("up");
         },
         {"dilated_pool", "MaxPool", "'dilations'"}},
        {"pooling indices",
         [](OnnxTestModel& m) {
             auto& node = m.node("MaxPool", {"hidden"}, {"pooled", "indices"}, "indexed_pool");
             OnnxTestModel::setInts(node, "kernel_shape", {1, 1});
             return std::string("pooled");
         },
         {"indexed_pool", "'indices'", "not supported"}},
        {"broadcasting add",
         [](OnnxTestModel& m) {
             m.floatInitializer("offset", {1, 16, 1, 1}, std::vector<float>(16, 1.f));
             m.node("Add", {"hidden", "offset"}, {"shifted"}, "bias_add");
             return std::string("shifted");
         },
         {"bias_add", "Add", "constant"}},
        {"shape arithmetic on computed data",
         [](OnnxTestModel& m) {
             m.int64Initializer("s0", {1}, {0});
             m.int64Initializer("s1", {1}, {8});
             m.node("Slice", {"hidden", "s0", "s1", "s0"}, {"sliced"}, "data_slice");
             return std::string("sliced");
         },
         {"data_slice", "Slice", "computed"}},
        {"an op the folder does not know",
         [](OnnxTestModel& m) {
             m.int64Initializer("r0", {}, {0});
             m.node("Range", {"r0", "r0", "r0"}, {"range"}, "folded_range");
             m.node("Shape", {"range"}, {"range.shape"}); // keeps the Range alive
             m.int64Initializer("sz", {4}, {1, 16, 64, 64});
             m.node("Concat", {"range.shape", "sz"}, {"junk"}, "junk_concat");
             auto& up = m.node("Resize", {"hidden", "", "", "sz"}, {"up"});
             OnnxTestModel::setString(up, "mode", "linear");
             m.node("Add", {"up", "up"}, {"sum"});
             auto& use = m.node("Resize", {"sum", "", "", "junk"}, {"bad"});
             OnnxTestModel::setString(use, "mode", "linear");
             return std::string("bad");
         },
         {"folded_range", "Range", "not supported"}},
    };
    for (const auto& c : cases) {
        OnnxTestModel model;
        buildModel(model, c.extra);
        const std::string error = loadError(model);
        for (const auto& part : c.expected)
            EXPECT_NE(error.find(part), std::string::npos)
                << c.what << ": \"" << error << "\" lacks \"" << part << "\"";
    }
}

TEST_F(ModelLoading, ShapesThatDoNotFitAreRefused)
{
    // Resize sizes baked for one input size meet a skip connection at another.
    OnnxTestModel fixed;
    buildModel(fixed, [](OnnxTestModel& m) {
        auto& pool = m.node("MaxPool", {"hidden"}, {"pooled"}, "pool");
        OnnxTestModel::setInts(pool, "kernel_shape", {2, 2});
        OnnxTestModel::setInts(pool, "strides", {2, 2});
        m.int64Initializer("baked", {4}, {1, 16, 64, 64});
        auto& up = m.node("Resize", {"pooled", "", "", "baked"}, {"up"}, "baked_resize");
        OnnxTestModel::setString(up, "mode", "linear");
        auto& concat = m.node("Concat", {"up", "hidden"}, {"joined"}, "skip_concat");
        OnnxTestModel::setInt(concat, "axis", 1);
        m.floatInitializer("wj", {16, 32, 1, 1}, std::vector<float>(32 * 16, 0.1f));
        m.node("Conv", {"joined", "wj"}, {"mixed"}, "mix");
        return std::string("mixed");
    });
    const auto file = write(fixed);
    EXPECT_TRUE(Network::load(file, {64, 64}));
    const std::string error = loadError(file, {128, 128});
    EXPECT_NE(error.find("skip_concat"), std::string::npos) << error;

    // The output must be a one-channel mask at the input's size.
    OnnxTestModel twoChannels;
    twoChannels.input("input", {1, 3, 64, 64});
    twoChannels.floatInitializer("w", {2, 3, 1, 1}, std::vector<float>(6, 1.f));
    twoChannels.node("Conv", {"input", "w"}, {"output"});
    twoChannels.output("output");
    EXPECT_NE(loadError(twoChannels).find("1×2×64×64"), std::string::npos) << loadError(twoChannels);

    OnnxTestModel grey;
    grey.input("input", {1, 1, 64, 64});
    grey.node("Relu", {"input"}, {"output"});
    grey.output("output");
    EXPECT_NE(loadError(grey).find("1 channels"), std::string::npos) << loadError(grey);

    OnnxTestModel cyclic;
    cyclic.input("input", {1, 3, 64, 64});
    cyclic.node("Add", {"input", "b"}, {"a"});
    cyclic.node("Relu", {"a"}, {"b"});
    cyclic.node("Relu", {"b"}, {"output"});
    cyclic.output("output");
    EXPECT_NE(loadError(cyclic).find("cycle"), std::string::npos) << loadError(cyclic);
}

} // namespace
} // namespace pelorin
