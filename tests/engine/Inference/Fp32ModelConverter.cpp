#include "engine/Inference/Fp32ModelConverter.h"

#include <onnx/onnx_pb.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <functional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <unistd.h>
#include <vector>

namespace pelorin::test {
namespace {

namespace fs = std::filesystem;

constexpr int32_t float32Type = onnx::TensorProto_DataType_FLOAT;
constexpr int32_t float16Type = onnx::TensorProto_DataType_FLOAT16;

// The fp16 payload of a tensor: raw_data (little-endian pairs) or, in the other legal encoding,
// one value per int32_data entry.
Result<std::vector<uint16_t>, std::string> halfPayload(const onnx::TensorProto& tensor)
{
    if (tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL)
        return unexpected("tensor " + tensor.name() + " keeps its data in an external file");
    std::vector<uint16_t> bits;
    if (tensor.has_raw_data()) {
        const std::string& raw = tensor.raw_data();
        if (raw.size() % 2 != 0)
            return unexpected("tensor " + tensor.name() + " has an odd number of fp16 bytes");
        bits.resize(raw.size() / 2);
        for (size_t i = 0; i < bits.size(); ++i)
            bits[i] = static_cast<uint16_t>(static_cast<uint8_t>(raw[2 * i]) | (static_cast<uint8_t>(raw[2 * i + 1]) << 8));
    } else {
        bits.reserve(static_cast<size_t>(tensor.int32_data_size()));
        for (int32_t value : tensor.int32_data())
            bits.push_back(static_cast<uint16_t>(value));
    }
    size_t expected = 1;
    for (int64_t d : tensor.dims())
        expected *= static_cast<size_t>(d);
    if (bits.size() != expected)
        return unexpected("tensor " + tensor.name() + " holds " + std::to_string(bits.size()) + " values, its shape says "
                          + std::to_string(expected));
    return bits;
}

Result<void, std::string> widenTensor(onnx::TensorProto& tensor)
{
    if (tensor.data_type() != float16Type)
        return {};
    auto bits = halfPayload(tensor);
    if (!bits)
        return unexpected(bits.error());
    std::string raw(bits->size() * sizeof(float), '\0');
    for (size_t i = 0; i < bits->size(); ++i) {
        const uint32_t word = std::bit_cast<uint32_t>(halfToFloat((*bits)[i]));
        for (int b = 0; b < 4; ++b) // ONNX raw_data is little-endian whatever the host
            raw[4 * i + static_cast<size_t>(b)] = static_cast<char>((word >> (8 * b)) & 0xff);
    }
    tensor.clear_int32_data();
    tensor.set_raw_data(std::move(raw));
    tensor.set_data_type(float32Type);
    return {};
}

void widenType(onnx::TypeProto& type)
{
    if (type.has_tensor_type() && type.tensor_type().elem_type() == float16Type)
        type.mutable_tensor_type()->set_elem_type(float32Type);
}

Result<void, std::string> widenGraph(onnx::GraphProto& graph)
{
    for (auto& tensor : *graph.mutable_initializer())
        if (auto widened = widenTensor(tensor); !widened)
            return widened;
    for (auto* infos : {graph.mutable_input(), graph.mutable_output(), graph.mutable_value_info()})
        for (auto& info : *infos)
            widenType(*info.mutable_type());
    for (auto& node : *graph.mutable_node()) {
        for (auto& attribute : *node.mutable_attribute()) {
            if (attribute.has_t())
                if (auto widened = widenTensor(*attribute.mutable_t()); !widened)
                    return widened;
            if (node.op_type() == "Cast" && attribute.name() == "to" && attribute.i() == float16Type)
                attribute.set_i(float32Type);
            if (attribute.has_g())
                if (auto widened = widenGraph(*attribute.mutable_g()); !widened)
                    return widened;
        }
    }
    return {};
}

// After widening, a Cast to FLOAT of a FLOAT tensor is an identity; OpenCV's importer cannot take
// one on the graph input, so every such Cast is spliced out: the names it joins become one, the
// graph's input or output name when the group holds one (a group never holds two).
void removeIdentityCasts(onnx::GraphProto& graph)
{
    std::unordered_map<std::string, int32_t> types;
    for (const auto& tensor : graph.initializer())
        types[tensor.name()] = tensor.data_type();
    for (const auto* infos : {&graph.input(), &graph.output(), &graph.value_info()})
        for (const auto& info : *infos)
            if (info.type().has_tensor_type())
                types[info.name()] = info.type().tensor_type().elem_type();
    std::unordered_set<std::string> interfaceNames;
    for (const auto* infos : {&graph.input(), &graph.output()})
        for (const auto& info : *infos)
            interfaceNames.insert(info.name());

    std::unordered_map<std::string, std::string> parent;
    std::function<std::string(const std::string&)> find = [&](const std::string& name) -> std::string {
        auto it = parent.find(name);
        if (it == parent.end() || it->second == name)
            return name;
        return it->second = find(it->second);
    };
    // Each group's root is its interface name when it has one.
    auto join = [&](const std::string& a, const std::string& b) {
        std::string ra = find(a), rb = find(b);
        if (ra == rb)
            return true;
        const bool ia = interfaceNames.contains(ra), ib = interfaceNames.contains(rb);
        if (ia && ib)
            return false;
        if (ib)
            std::swap(ra, rb);
        parent[rb] = ra;
        parent.try_emplace(ra, ra);
        return true;
    };

    google::protobuf::RepeatedPtrField<onnx::NodeProto> kept;
    for (auto& node : *graph.mutable_node()) {
        const bool identity = node.op_type() == "Cast" && node.attribute_size() == 1 && node.attribute(0).name() == "to"
                              && node.attribute(0).i() == float32Type && node.input_size() == 1 && node.output_size() == 1;
        if (identity) {
            const auto type = types.find(node.input(0));
            if (type != types.end() && type->second == float32Type && join(node.input(0), node.output(0)))
                continue;
        }
        *kept.Add() = std::move(node);
    }
    graph.mutable_node()->Swap(&kept);

    for (auto& node : *graph.mutable_node()) {
        for (auto& name : *node.mutable_input())
            if (!name.empty())
                name = find(name);
        for (auto& name : *node.mutable_output())
            name = find(name);
    }
    google::protobuf::RepeatedPtrField<onnx::ValueInfoProto> infos;
    std::unordered_set<std::string> described = interfaceNames;
    for (auto& info : *graph.mutable_value_info()) {
        info.set_name(find(info.name()));
        if (described.insert(info.name()).second)
            *infos.Add() = std::move(info);
    }
    graph.mutable_value_info()->Swap(&infos);
}

} // namespace

float halfToFloat(uint16_t bits)
{
    const uint32_t sign = static_cast<uint32_t>(bits & 0x8000) << 16;
    const uint32_t exponent = (bits >> 10) & 0x1f;
    const uint32_t mantissa = bits & 0x3ff;
    if (exponent == 0) {
        // Zero or subnormal: mantissa × 2^-24, exact in float.
        const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    if (exponent == 0x1f)
        return std::bit_cast<float>(sign | 0x7f800000u | (mantissa << 13));
    return std::bit_cast<float>(sign | ((exponent + 127 - 15) << 23) | (mantissa << 13));
}

Result<void, std::string> convertModelToFp32(const fs::path& source, const fs::path& destination)
{
    onnx::ModelProto model;
    {
        std::ifstream in(source, std::ios::binary);
        if (!in)
            return unexpected("cannot open " + source.string());
        if (!model.ParseFromIstream(&in))
            return unexpected(source.string() + " is not an ONNX model");
    }
    if (auto widened = widenGraph(*model.mutable_graph()); !widened)
        return unexpected(source.string() + ": " + widened.error());
    removeIdentityCasts(*model.mutable_graph());

    fs::path temporary = destination;
    temporary += ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !model.SerializeToOstream(&out) || !out.flush()) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return unexpected("cannot write " + temporary.string());
        }
    }
    std::error_code error;
    fs::rename(temporary, destination, error);
    if (error) {
        fs::remove(temporary, error);
        return unexpected("cannot publish " + destination.string());
    }
    return {};
}

Result<fs::path, std::string> cachedFp32Model(const fs::path& fp16Model)
{
    std::string name = fp16Model.filename().string();
    if (auto at = name.find("fp16"); at != std::string::npos)
        name.replace(at, 4, "fp32");
    else
        name = fp16Model.stem().string() + "-fp32" + fp16Model.extension().string();
    const fs::path fp32Model = fp16Model.parent_path() / name;

    std::error_code error;
    const auto sourceTime = fs::last_write_time(fp16Model, error);
    if (error)
        return unexpected("cannot read " + fp16Model.string());
    const auto cachedTime = fs::last_write_time(fp32Model, error);
    if (!error && cachedTime >= sourceTime)
        return fp32Model;
    if (auto converted = convertModelToFp32(fp16Model, fp32Model); !converted)
        return unexpected(converted.error());
    return fp32Model;
}

} // namespace pelorin::test
