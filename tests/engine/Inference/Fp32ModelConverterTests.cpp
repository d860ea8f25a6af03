// The oracle's fp16 → fp32 model conversion: exact widening, and a converted graph OpenCV accepts
// and computes like the original.
#include "engine/Inference/Fp32ModelConverter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <onnx/onnx_pb.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include <cmath>
#include <fstream>
#include <limits>

namespace pelorin {
namespace {

TEST(Fp32ModelConverterTest, HalfToFloatIsExactOverTheWholeRange)
{
    EXPECT_EQ(test::halfToFloat(0x0000), 0.0f);
    EXPECT_TRUE(std::signbit(test::halfToFloat(0x8000)));
    EXPECT_EQ(test::halfToFloat(0x3c00), 1.0f);
    EXPECT_EQ(test::halfToFloat(0xc000), -2.0f);
    EXPECT_EQ(test::halfToFloat(0x3555), 0.333251953125f);
    EXPECT_EQ(test::halfToFloat(0x7bff), 65504.0f);           // largest finite
    EXPECT_EQ(test::halfToFloat(0x0400), std::ldexp(1.0f, -14)); // smallest normal
    EXPECT_EQ(test::halfToFloat(0x0001), std::ldexp(1.0f, -24)); // smallest subnormal
    EXPECT_EQ(test::halfToFloat(0x83ff), -std::ldexp(1023.0f, -24));
    EXPECT_EQ(test::halfToFloat(0x7c00), std::numeric_limits<float>::infinity());
    EXPECT_EQ(test::halfToFloat(0xfc00), -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(test::halfToFloat(0x7e00)));
}

void addTensorType(onnx::ValueInfoProto* info, const std::string& name, int32_t type)
{
    info->set_name(name);
    auto* tensor = info->mutable_type()->mutable_tensor_type();
    tensor->set_elem_type(type);
    for (int64_t d : {1, 2, 1, 2})
        tensor->mutable_shape()->add_dim()->set_dim_value(d);
}

onnx::NodeProto* addCast(onnx::GraphProto& graph, const std::string& in, const std::string& out, int32_t to)
{
    auto* node = graph.add_node();
    node->set_op_type("Cast");
    node->add_input(in);
    node->add_output(out);
    auto* attribute = node->add_attribute();
    attribute->set_name("to");
    attribute->set_type(onnx::AttributeProto_AttributeType_INT);
    attribute->set_i(to);
    return node;
}

// input (float) → Cast fp16 → Add w (fp16 raw_data) → Mul c (fp16 Constant, int32_data) → Cast float
// → output: the shape of the real model's interface casts, in miniature.
onnx::ModelProto miniatureFp16Model()
{
    constexpr int32_t f16 = onnx::TensorProto_DataType_FLOAT16;
    constexpr int32_t f32 = onnx::TensorProto_DataType_FLOAT;
    onnx::ModelProto model;
    model.set_ir_version(8);
    model.add_opset_import()->set_version(15);
    auto& graph = *model.mutable_graph();
    graph.set_name("miniature");
    addTensorType(graph.add_input(), "input", f32);
    addTensorType(graph.add_output(), "output", f32);

    auto* weight = graph.add_initializer();
    weight->set_name("w");
    weight->set_data_type(f16);
    for (int64_t d : {1, 2, 1, 2})
        weight->add_dims(d);
    const uint16_t weightBits[] = {0x3c00, 0xc000, 0x3555, 0x0001}; // 1, -2, 0.33325…, 2^-24
    std::string raw;
    for (uint16_t bits : weightBits) {
        raw.push_back(static_cast<char>(bits & 0xff));
        raw.push_back(static_cast<char>(bits >> 8));
    }
    weight->set_raw_data(raw);

    addCast(graph, "input", "input_half", f16);
    auto* add = graph.add_node();
    add->set_op_type("Add");
    add->add_input("input_half");
    add->add_input("w");
    add->add_output("sum");
    auto* constant = graph.add_node();
    constant->set_op_type("Constant");
    constant->add_output("c");
    auto* value = constant->add_attribute();
    value->set_name("value");
    value->set_type(onnx::AttributeProto_AttributeType_TENSOR);
    value->mutable_t()->set_data_type(f16);
    value->mutable_t()->add_int32_data(0x4200); // 3
    auto* mul = graph.add_node();
    mul->set_op_type("Mul");
    mul->add_input("sum");
    mul->add_input("c");
    mul->add_output("product");
    addCast(graph, "product", "output", f32);
    addTensorType(graph.add_value_info(), "input_half", f16);
    addTensorType(graph.add_value_info(), "sum", f16);
    addTensorType(graph.add_value_info(), "product", f16);
    return model;
}

TEST(Fp32ModelConverterTest, ConvertedMiniatureIsAllFp32AndOpenCvComputesIt)
{
    test::TemporaryDirectory folder;
    const auto source = folder / "mini-fp16.onnx";
    {
        std::ofstream out(source, std::ios::binary);
        ASSERT_TRUE(miniatureFp16Model().SerializeToOstream(&out));
    }
    const auto converted = test::cachedFp32Model(source);
    ASSERT_TRUE(converted) << converted.error();
    EXPECT_EQ(converted->filename(), "mini-fp32.onnx");

    onnx::ModelProto model;
    {
        std::ifstream in(*converted, std::ios::binary);
        ASSERT_TRUE(model.ParseFromIstream(&in));
    }
    for (const auto& node : model.graph().node())
        EXPECT_NE(node.op_type(), "Cast");
    ASSERT_EQ(model.graph().initializer_size(), 1);
    EXPECT_EQ(model.graph().initializer(0).data_type(), onnx::TensorProto_DataType_FLOAT);
    for (const auto& info : model.graph().value_info())
        EXPECT_EQ(info.type().tensor_type().elem_type(), onnx::TensorProto_DataType_FLOAT) << info.name();

    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    try {
        cv::dnn::Net net = cv::dnn::readNetFromONNX(converted->string());
        const int shape[] = {1, 2, 1, 2};
        float inputValues[] = {0.5f, 0.25f, -1.0f, 8.0f};
        net.setInput(cv::Mat(4, shape, CV_32F, inputValues), "input");
        const cv::Mat out = net.forward("output");
        ASSERT_EQ(out.total(), 4u);
        const float expected[] = {4.5f, -5.25f, 3 * (-1.0f + 0.333251953125f), 3 * (8.0f + std::ldexp(1.0f, -24))};
        for (int i = 0; i < 4; ++i)
            EXPECT_FLOAT_EQ(out.ptr<float>()[i], expected[i]) << i;
    } catch (const cv::Exception& error) {
        FAIL() << error.what();
    }
}

TEST(Fp32ModelConverterTest, DamagedModelIsAnErrorNotACrash)
{
    test::TemporaryDirectory folder;
    const auto source = folder / "broken-fp16.onnx";
    test::writeFileBytes(source, test::randomBytes(4096, 7));
    const auto converted = test::cachedFp32Model(source);
    ASSERT_FALSE(converted);
    EXPECT_NE(converted.error().find("not an ONNX model"), std::string::npos) << converted.error();
    EXPECT_FALSE(std::filesystem::exists(folder / "broken-fp32.onnx"));
    EXPECT_FALSE(test::cachedFp32Model(folder / "missing-fp16.onnx"));
}

} // namespace
} // namespace pelorin
