#include "engine/Inference/OnnxTestModel.h"

#ifndef ONNX_ML
#define ONNX_ML 1 // the schema Debian ships is the -ml one; the engine target defines this for itself
#endif
#include <onnx/onnx_pb.h>

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace pelorin::test {

OnnxTestModel::OnnxTestModel(int64_t opset) : model_(new onnx::ModelProto)
{
    model_->set_ir_version(8);
    model_->set_producer_name("pelorin-tests");
    auto* import = model_->add_opset_import();
    import->set_domain("");
    import->set_version(opset);
    model_->mutable_graph()->set_name("test");
}

OnnxTestModel::~OnnxTestModel()
{
    delete model_;
}

void OnnxTestModel::input(const std::string& name, const std::vector<int64_t>& dims)
{
    auto* input = model_->mutable_graph()->add_input();
    input->set_name(name);
    auto* type = input->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims) {
        auto* dim = type->mutable_shape()->add_dim();
        if (d >= 0)
            dim->set_dim_value(d);
        else
            dim->set_dim_param("dynamic");
    }
}

void OnnxTestModel::output(const std::string& name)
{
    auto* output = model_->mutable_graph()->add_output();
    output->set_name(name);
    output->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
}

void OnnxTestModel::floatInitializer(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<float>& values)
{
    auto* tensor = model_->mutable_graph()->add_initializer();
    tensor->set_name(name);
    tensor->set_data_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims)
        tensor->add_dims(d);
    for (float v : values)
        tensor->add_float_data(v);
}

void OnnxTestModel::halfInitializer(const std::string& name, const std::vector<int64_t>& dims,
                                    const std::vector<uint16_t>& bits)
{
    auto* tensor = model_->mutable_graph()->add_initializer();
    tensor->set_name(name);
    tensor->set_data_type(onnx::TensorProto::FLOAT16);
    for (int64_t d : dims)
        tensor->add_dims(d);
    std::string raw(bits.size() * 2, '\0');
    for (size_t i = 0; i < bits.size(); ++i) { // little-endian, as the format says
        raw[2 * i] = char(bits[i] & 0xFF);
        raw[2 * i + 1] = char(bits[i] >> 8);
    }
    tensor->set_raw_data(raw);
}

void OnnxTestModel::int64Initializer(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<int64_t>& values)
{
    auto* tensor = model_->mutable_graph()->add_initializer();
    tensor->set_name(name);
    tensor->set_data_type(onnx::TensorProto::INT64);
    for (int64_t d : dims)
        tensor->add_dims(d);
    for (int64_t v : values)
        tensor->add_int64_data(v);
}

onnx::NodeProto& OnnxTestModel::node(const std::string& op, const std::vector<std::string>& inputs,
                                     const std::vector<std::string>& outputs, const std::string& name)
{
    auto* node = model_->mutable_graph()->add_node();
    node->set_op_type(op);
    node->set_name(name.empty() ? op + "_" + std::to_string(model_->graph().node_size()) : name);
    for (const auto& input : inputs)
        node->add_input(input);
    for (const auto& output : outputs)
        node->add_output(output);
    return *node;
}

void OnnxTestModel::setInt(onnx::NodeProto& node, const std::string& key, int64_t value)
{
    auto* attribute = node.add_attribute();
    attribute->set_name(key);
    attribute->set_type(onnx::AttributeProto::INT);
    attribute->set_i(value);
}

void OnnxTestModel::setInts(onnx::NodeProto& node, const std::string& key, const std::vector<int64_t>& values)
{
    auto* attribute = node.add_attribute();
    attribute->set_name(key);
    attribute->set_type(onnx::AttributeProto::INTS);
    for (int64_t v : values)
        attribute->add_ints(v);
}

void OnnxTestModel::setString(onnx::NodeProto& node, const std::string& key, const std::string& value)
{
    auto* attribute = node.add_attribute();
    attribute->set_name(key);
    attribute->set_type(onnx::AttributeProto::STRING);
    attribute->set_s(value);
}

void OnnxTestModel::setFloat(onnx::NodeProto& node, const std::string& key, float value)
{
    auto* attribute = node.add_attribute();
    attribute->set_name(key);
    attribute->set_type(onnx::AttributeProto::FLOAT);
    attribute->set_f(value);
}

void OnnxTestModel::setInt64Tensor(onnx::NodeProto& node, const std::string& key, const std::vector<int64_t>& dims,
                                   const std::vector<int64_t>& values)
{
    auto* attribute = node.add_attribute();
    attribute->set_name(key);
    attribute->set_type(onnx::AttributeProto::TENSOR);
    auto* tensor = attribute->mutable_t();
    tensor->set_data_type(onnx::TensorProto::INT64);
    for (int64_t d : dims)
        tensor->add_dims(d);
    std::string raw(values.size() * 8, '\0');
    std::memcpy(raw.data(), values.data(), raw.size());
    tensor->set_raw_data(raw);
}

std::string OnnxTestModel::serialized() const
{
    std::string bytes;
    if (!model_->SerializeToString(&bytes))
        throw std::runtime_error("cannot serialise the test model");
    return bytes;
}

void OnnxTestModel::write(const std::filesystem::path& file) const
{
    std::ofstream out(file, std::ios::binary);
    const std::string bytes = serialized();
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace pelorin::test
