// Builds small ONNX models in memory for the executor's tests, straight against the ONNX protobuf
// schema, independent of the parser. Written to a file for Network::load.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace onnx {
class ModelProto;
class NodeProto;
} // namespace onnx

namespace pelorin::test {

class OnnxTestModel {
public:
    OnnxTestModel();
    ~OnnxTestModel();
    OnnxTestModel(const OnnxTestModel&) = delete;
    OnnxTestModel& operator=(const OnnxTestModel&) = delete;

    // A float input; -1 dims are left symbolic.
    void input(const std::string& name, const std::vector<int64_t>& dims);
    void output(const std::string& name);
    void floatInitializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<float>& values);
    // fp16 from raw IEEE binary16 bit patterns, stored as raw_data.
    void halfInitializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<uint16_t>& bits);
    void int64Initializer(const std::string& name, const std::vector<int64_t>& dims, const std::vector<int64_t>& values);

    // A node being added; its attributes are set in a chain.
    class Node {
    public:
        explicit Node(onnx::NodeProto& proto) : proto_(proto) {}
        Node& i(const std::string& key, int64_t value);
        Node& ints(const std::string& key, const std::vector<int64_t>& values);
        Node& s(const std::string& key, const std::string& value);
        Node& f(const std::string& key, float value);

    private:
        onnx::NodeProto& proto_;
    };
    Node node(const std::string& op, const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
              const std::string& name = "");

    std::string serialized() const;
    void write(const std::filesystem::path& file) const;

private:
    onnx::ModelProto* model_;
};

} // namespace pelorin::test
