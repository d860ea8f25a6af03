// Builds small ONNX models in memory for the executor's tests, straight against the ONNX protobuf
// schema, independent of the parser. Written to a file for Network::load.
#pragma once

#ifndef ONNX_ML
#define ONNX_ML 1 // the schema Debian ships is the -ml one; the engine target defines this for itself
#endif
#include <onnx/onnx_pb.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace pelorin::test {

// Seeded values spread evenly over [-scale, scale], for weights and inputs.
inline std::vector<float> seededFloats(size_t count, uint32_t seed, float scale)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> distribution(-scale, scale);
    std::vector<float> values(count);
    for (float& v : values)
        v = distribution(generator);
    return values;
}

class OnnxTestModel {
public:
    OnnxTestModel()
    {
        model_.set_ir_version(8);
        model_.add_opset_import()->set_version(15);
        model_.mutable_graph()->set_name("test");
    }

    // A float input; -1 dims are left symbolic.
    void input(const std::string& name, const std::vector<int64_t>& dims)
    {
        auto* input = model_.mutable_graph()->add_input();
        input->set_name(name);
        auto* type = input->mutable_type()->mutable_tensor_type();
        type->set_elem_type(onnx::TensorProto::FLOAT);
        for (int64_t d : dims)
            d >= 0 ? type->mutable_shape()->add_dim()->set_dim_value(d)
                   : type->mutable_shape()->add_dim()->set_dim_param("n");
    }
    void output(const std::string& name)
    {
        auto* output = model_.mutable_graph()->add_output();
        output->set_name(name);
        output->mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
    }

    void floatInitializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& values)
    {
        initializer(name, onnx::TensorProto::FLOAT, dims).mutable_float_data()->Add(values.begin(), values.end());
    }
    void int64Initializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<int64_t>& values)
    {
        initializer(name, onnx::TensorProto::INT64, dims).mutable_int64_data()->Add(values.begin(), values.end());
    }

    // A node being added; its attributes are set in a chain.
    class Node {
    public:
        explicit Node(onnx::NodeProto& proto) : proto_(proto) {}
        Node& i(const std::string& key, int64_t value)
        {
            return attribute(key, onnx::AttributeProto::INT).set_i(value), *this;
        }
        Node& ints(const std::string& key, const std::vector<int64_t>& values)
        {
            return attribute(key, onnx::AttributeProto::INTS).mutable_ints()->Add(values.begin(), values.end()), *this;
        }
        Node& s(const std::string& key, const std::string& value)
        {
            return attribute(key, onnx::AttributeProto::STRING).set_s(value), *this;
        }

    private:
        onnx::AttributeProto& attribute(const std::string& key, onnx::AttributeProto::AttributeType type)
        {
            auto* a = proto_.add_attribute();
            a->set_name(key);
            a->set_type(type);
            return *a;
        }
        onnx::NodeProto& proto_;
    };
    Node node(const std::string& op, const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
              const std::string& name = "")
    {
        auto* node = model_.mutable_graph()->add_node();
        node->set_op_type(op);
        node->set_name(name.empty() ? op + "_" + std::to_string(model_.graph().node_size()) : name);
        node->mutable_input()->Add(inputs.begin(), inputs.end());
        node->mutable_output()->Add(outputs.begin(), outputs.end());
        return Node(*node);
    }

    std::string serialized() const { return model_.SerializeAsString(); }
    void write(const std::filesystem::path& file) const
    {
        const std::string bytes = serialized();
        if (!std::ofstream(file, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size())))
            throw std::runtime_error("cannot write " + file.string());
    }

private:
    onnx::TensorProto& initializer(const std::string& name, int type, const std::vector<int64_t>& dims)
    {
        auto* t = model_.mutable_graph()->add_initializer();
        t->set_name(name);
        t->set_data_type(type);
        t->mutable_dims()->Add(dims.begin(), dims.end());
        return *t;
    }

    onnx::ModelProto model_;
};

} // namespace pelorin::test
