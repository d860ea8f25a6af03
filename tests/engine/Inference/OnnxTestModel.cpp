#include "engine/Inference/OnnxTestModel.h"

#ifndef ONNX_ML
#define ONNX_ML 1 // the schema Debian ships is the -ml one; the engine target defines this for itself
#endif
#include <onnx/onnx_pb.h>

#include <fstream>
#include <stdexcept>

namespace pelorin::test {
namespace {

onnx::TensorProto& tensor(onnx::TensorProto* t, const std::string& name, int type, const std::vector<int64_t>& dims)
{
    t->set_name(name);
    t->set_data_type(type);
    for (int64_t d : dims)
        t->add_dims(d);
    return *t;
}

onnx::AttributeProto& attribute(onnx::NodeProto& node, const std::string& key, onnx::AttributeProto::AttributeType type)
{
    auto* a = node.add_attribute();
    a->set_name(key);
    a->set_type(type);
    return *a;
}

} // namespace

OnnxTestModel::OnnxTestModel() : model_(new onnx::ModelProto)
{
    model_->set_ir_version(8);
    model_->add_opset_import()->set_version(15);
    model_->mutable_graph()->set_name("test");
}

OnnxTestModel::~OnnxTestModel() { delete model_; }

void OnnxTestModel::input(const std::string& name, const std::vector<int64_t>& dims)
{
    auto* input = model_->mutable_graph()->add_input();
    input->set_name(name);
    auto* type = input->mutable_type()->mutable_tensor_type();
    type->set_elem_type(onnx::TensorProto::FLOAT);
    for (int64_t d : dims)
        d >= 0 ? type->mutable_shape()->add_dim()->set_dim_value(d) : type->mutable_shape()->add_dim()->set_dim_param("dynamic");
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
    auto& t = tensor(model_->mutable_graph()->add_initializer(), name, onnx::TensorProto::FLOAT, dims);
    t.mutable_float_data()->Add(values.begin(), values.end());
}

void OnnxTestModel::halfInitializer(const std::string& name, const std::vector<int64_t>& dims,
                                    const std::vector<uint16_t>& bits)
{
    std::string raw;
    for (uint16_t b : bits) // little-endian, as the format says
        raw += {char(b & 0xFF), char(b >> 8)};
    tensor(model_->mutable_graph()->add_initializer(), name, onnx::TensorProto::FLOAT16, dims).set_raw_data(raw);
}

void OnnxTestModel::int64Initializer(const std::string& name, const std::vector<int64_t>& dims,
                                     const std::vector<int64_t>& values)
{
    auto& t = tensor(model_->mutable_graph()->add_initializer(), name, onnx::TensorProto::INT64, dims);
    t.mutable_int64_data()->Add(values.begin(), values.end());
}

OnnxTestModel::Node OnnxTestModel::node(const std::string& op, const std::vector<std::string>& inputs,
                                        const std::vector<std::string>& outputs, const std::string& name)
{
    auto* node = model_->mutable_graph()->add_node();
    node->set_op_type(op);
    node->set_name(name.empty() ? op + "_" + std::to_string(model_->graph().node_size()) : name);
    node->mutable_input()->Add(inputs.begin(), inputs.end());
    node->mutable_output()->Add(outputs.begin(), outputs.end());
    return Node(*node);
}

OnnxTestModel::Node& OnnxTestModel::Node::i(const std::string& key, int64_t value)
{
    attribute(proto_, key, onnx::AttributeProto::INT).set_i(value);
    return *this;
}

OnnxTestModel::Node& OnnxTestModel::Node::ints(const std::string& key, const std::vector<int64_t>& values)
{
    attribute(proto_, key, onnx::AttributeProto::INTS).mutable_ints()->Add(values.begin(), values.end());
    return *this;
}

OnnxTestModel::Node& OnnxTestModel::Node::s(const std::string& key, const std::string& value)
{
    attribute(proto_, key, onnx::AttributeProto::STRING).set_s(value);
    return *this;
}

OnnxTestModel::Node& OnnxTestModel::Node::f(const std::string& key, float value)
{
    attribute(proto_, key, onnx::AttributeProto::FLOAT).set_f(value);
    return *this;
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
    const std::string bytes = serialized();
    if (!std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())))
        throw std::runtime_error("cannot write " + file.string());
}

} // namespace pelorin::test
