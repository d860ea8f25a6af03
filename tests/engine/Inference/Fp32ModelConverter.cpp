#include "engine/Inference/Fp32ModelConverter.h"

#ifndef ONNX_ML
#define ONNX_ML 1
#endif
#include <onnx/onnx_pb.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <unistd.h>

namespace pelorin::test {
namespace {

namespace fs = std::filesystem;

// The model keeps its fp16 weights in raw_data (little-endian pairs); they are widened by the
// compiler's binary16 conversion, independent of the executor's own.
Result<void, std::string> widen(onnx::TensorProto& tensor)
{
    if (tensor.data_type() != onnx::TensorProto::FLOAT16)
        return {};
    if (!tensor.has_raw_data())
        return unexpected("tensor " + tensor.name() + " keeps its fp16 values outside raw_data");
    const std::string& half = tensor.raw_data();
    std::string raw(half.size() * 2, '\0');
    for (size_t i = 0; i + 1 < half.size(); i += 2) {
        const float value = float(std::bit_cast<_Float16>(uint16_t(uint8_t(half[i]) | uint8_t(half[i + 1]) << 8)));
        std::memcpy(&raw[2 * i], &value, 4); // x86 is little-endian, as ONNX raw_data is
    }
    tensor.set_raw_data(std::move(raw));
    tensor.set_data_type(onnx::TensorProto::FLOAT);
    return {};
}

Result<void, std::string> convert(const fs::path& source, const fs::path& destination)
{
    onnx::ModelProto model;
    if (std::ifstream in(source, std::ios::binary); !model.ParseFromIstream(&in))
        return unexpected(source.string() + " is not an ONNX model");
    auto& graph = *model.mutable_graph();
    for (auto& tensor : *graph.mutable_initializer())
        if (auto widened = widen(tensor); !widened)
            return widened;
    for (auto* infos : {graph.mutable_input(), graph.mutable_output()})
        for (auto& info : *infos)
            info.mutable_type()->mutable_tensor_type()->set_elem_type(onnx::TensorProto::FLOAT);
    graph.clear_value_info();
    // Every Cast between float types is now an identity, which OpenCV takes nowhere: it is spliced
    // out, its readers read its input (or, at a graph output, its writer writes the output).
    std::set<std::string> outputs;
    for (const auto& output : graph.output())
        outputs.insert(output.name());
    std::map<std::string, std::string> renamed;
    google::protobuf::RepeatedPtrField<onnx::NodeProto> kept;
    for (auto& node : *graph.mutable_node()) {
        const auto to = node.op_type() == "Cast" ? node.attribute(0).i() : 0;
        if (to == onnx::TensorProto::FLOAT16 || to == onnx::TensorProto::FLOAT) {
            if (outputs.contains(node.output(0)))
                renamed[node.input(0)] = node.output(0);
            else
                renamed[node.output(0)] = node.input(0);
            continue;
        }
        *kept.Add() = std::move(node);
    }
    for (auto& node : kept)
        for (auto* names : {node.mutable_input(), node.mutable_output()})
            for (auto& name : *names)
                while (renamed.contains(name))
                    name = renamed[name];
    graph.mutable_node()->Swap(&kept);
    // Through a temporary file and a rename, so that a concurrent reader never sees half a model.
    const fs::path temporary = destination.string() + ".tmp" + std::to_string(::getpid());
    if (std::ofstream out(temporary, std::ios::binary); !model.SerializeToOstream(&out) || !out.flush())
        return unexpected("cannot write " + temporary.string());
    std::error_code error;
    fs::rename(temporary, destination, error);
    if (error)
        return unexpected("cannot publish " + destination.string());
    return {};
}

} // namespace

Result<fs::path, std::string> cachedFp32Model(const fs::path& fp16Model)
{
    std::string name = fp16Model.filename().string();
    if (const auto at = name.find("fp16"); at != std::string::npos)
        name.replace(at, 4, "fp32");
    else
        name = fp16Model.stem().string() + "-fp32" + fp16Model.extension().string();
    const fs::path fp32Model = fp16Model.parent_path() / name;
    std::error_code error;
    if (const auto made = fs::last_write_time(fp32Model, error); !error && made >= fs::last_write_time(fp16Model))
        return fp32Model;
    if (auto converted = convert(fp16Model, fp32Model); !converted)
        return unexpected(converted.error());
    return fp32Model;
}

} // namespace pelorin::test
