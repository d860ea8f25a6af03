// OnnxGraph: an ONNX model file read into plain C++ values (nodes, attributes, constant tensors),
// so nothing past the parser depends on protobuf. Floating-point tensors (fp16, fp32, fp64) are
// converted to fp32 once here; integer and boolean tensors become int64.
//
// Contract: parse() never throws and never prints; it refuses, with a message naming the file and
// the offending tensor, anything it cannot represent faithfully (external data, strings, sizes that
// disagree with the dims). The result is a value; share it freely once built.
#pragma once

#include "engine/Common/Result.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pelorin::inference {

enum class ElementType {
    float32, // fp16, fp32 and fp64 in the file
    int64,   // int8…int64, uint8…uint32, bool in the file
};

// A constant tensor: an initializer, a Constant node's value or a folded result.
struct Tensor {
    ElementType type = ElementType::float32;
    std::vector<int64_t> dims;
    std::vector<float> floats; // when type is float32
    std::vector<int64_t> ints; // when type is int64

    size_t elementCount() const { return type == ElementType::float32 ? floats.size() : ints.size(); }
    // Element i as a double / an int64, whichever the type.
    double asDouble(size_t i) const { return type == ElementType::float32 ? floats[i] : double(ints[i]); }
    int64_t asInt(size_t i) const { return type == ElementType::float32 ? int64_t(floats[i]) : ints[i]; }
};

// Product of dims, or absent when a dim is negative or the product exceeds `limit`.
std::optional<size_t> elementCountOf(std::span<const int64_t> dims, size_t limit);

struct Attribute {
    enum class Kind { integer, real, text, integers, reals, tensor, other };
    Kind kind = Kind::other;
    int64_t i = 0;
    float f = 0;
    std::string s;
    std::vector<int64_t> ints;
    std::vector<float> floats;
    std::shared_ptr<const Tensor> tensor;
};

struct Node {
    std::string name; // may be empty in the file; then "#<index>"
    std::string op;
    std::vector<std::string> inputs; // "" marks an omitted optional input
    std::vector<std::string> outputs;
    std::map<std::string, Attribute> attributes;

    const Attribute* attribute(const std::string& key) const
    {
        auto it = attributes.find(key);
        return it == attributes.end() ? nullptr : &it->second;
    }
    // "node '<name>' (<op>)", the way every message names a node.
    std::string label() const { return "node '" + name + "' (" + op + ")"; }
};

// A graph input or output: name, element type and dims (-1 where the file leaves a dim symbolic).
struct ValueInfo {
    std::string name;
    int onnxElementType = 0; // TensorProto::DataType; 0 when unknown
    std::vector<int64_t> dims;
    bool hasShape = false;
};

struct OnnxGraph {
    int64_t opsetVersion = 0; // of the default domain
    std::vector<Node> nodes;  // in file order (not necessarily topological)
    std::map<std::string, std::shared_ptr<const Tensor>> initializers;
    std::vector<ValueInfo> inputs; // initializers excluded
    std::vector<ValueInfo> outputs;

    static Result<OnnxGraph, std::string> parse(const std::filesystem::path& file);
    static Result<OnnxGraph, std::string> parse(std::span<const std::byte> bytes);
};

} // namespace pelorin::inference
