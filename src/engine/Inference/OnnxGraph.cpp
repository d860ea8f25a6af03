#include "engine/Inference/OnnxGraph.h"

#include "engine/Inference/Float16.h"

#include <onnx/onnx_pb.h>

#include <google/protobuf/stubs/logging.h>

#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <system_error>

namespace pelorin::inference {
namespace {

// The largest model we accept: protobuf itself cannot parse messages past 2 GiB.
constexpr size_t maxModelFileSize = size_t{2} << 30;
// No tensor of a model we run comes near this; it bounds what a hostile header can make us allocate.
constexpr size_t maxTensorElements = size_t{1} << 30;

// Protobuf reports parse problems on stderr by default; ours go into the returned error instead.
void silenceProtobuf()
{
    static std::once_flag once;
    std::call_once(once, [] { google::protobuf::SetLogHandler(nullptr); });
}

template <typename T>
T loadLittleEndian(const char* bytes)
{
    T value;
    std::memcpy(&value, bytes, sizeof(T)); // x86-64 and the ONNX format are both little-endian
    return value;
}

size_t onnxElementSize(int type)
{
    using TP = onnx::TensorProto;
    switch (type) {
    case TP::FLOAT: return 4;
    case TP::FLOAT16: return 2;
    case TP::DOUBLE: return 8;
    case TP::INT8:
    case TP::UINT8:
    case TP::BOOL: return 1;
    case TP::INT16:
    case TP::UINT16: return 2;
    case TP::INT32:
    case TP::UINT32: return 4;
    case TP::INT64: return 8;
    default: return 0;
    }
}

// Element i of raw little-endian data of ONNX type `type`, widened.
double rawAsDouble(const char* data, int type, size_t i)
{
    using TP = onnx::TensorProto;
    switch (type) {
    case TP::FLOAT: return loadLittleEndian<float>(data + 4 * i);
    case TP::FLOAT16: return halfToFloat(loadLittleEndian<uint16_t>(data + 2 * i));
    case TP::DOUBLE: return loadLittleEndian<double>(data + 8 * i);
    default: return 0;
    }
}

int64_t rawAsInt(const char* data, int type, size_t i)
{
    using TP = onnx::TensorProto;
    switch (type) {
    case TP::INT8: return loadLittleEndian<int8_t>(data + i);
    case TP::UINT8: return loadLittleEndian<uint8_t>(data + i);
    case TP::BOOL: return loadLittleEndian<uint8_t>(data + i) != 0;
    case TP::INT16: return loadLittleEndian<int16_t>(data + 2 * i);
    case TP::UINT16: return loadLittleEndian<uint16_t>(data + 2 * i);
    case TP::INT32: return loadLittleEndian<int32_t>(data + 4 * i);
    case TP::UINT32: return loadLittleEndian<uint32_t>(data + 4 * i);
    case TP::INT64: return loadLittleEndian<int64_t>(data + 8 * i);
    default: return 0;
    }
}

Result<std::shared_ptr<const Tensor>, std::string> convertTensor(const onnx::TensorProto& proto,
                                                                 const std::string& what)
{
    using TP = onnx::TensorProto;
    auto fail = [&](const std::string& why) { return unexpected("tensor " + what + ": " + why); };
    if (proto.data_location() == TP::EXTERNAL || proto.external_data_size() > 0)
        return fail("its data lives in an external file, which is not supported");
    if (proto.has_segment())
        return fail("segmented tensors are not supported");

    const int type = proto.data_type();
    const size_t elementSize = onnxElementSize(type);
    if (elementSize == 0)
        return fail("element type " + std::to_string(type) + " is not supported");
    auto tensor = std::make_shared<Tensor>();
    tensor->dims.assign(proto.dims().begin(), proto.dims().end());
    auto count = elementCountOf(tensor->dims, maxTensorElements);
    if (!count)
        return fail("its dimensions are negative or too large");

    const bool isFloat = type == TP::FLOAT || type == TP::FLOAT16 || type == TP::DOUBLE;
    tensor->type = isFloat ? ElementType::float32 : ElementType::int64;
    if (isFloat)
        tensor->floats.resize(*count);
    else
        tensor->ints.resize(*count);

    if (proto.has_raw_data()) {
        const std::string& raw = proto.raw_data();
        if (raw.size() != *count * elementSize)
            return fail("holds " + std::to_string(raw.size()) + " bytes where its dimensions need "
                        + std::to_string(*count * elementSize));
        // fp16 and fp32 hold nearly all of a model's bytes: convert them without the per-element switch.
        if (type == TP::FLOAT)
            std::memcpy(tensor->floats.data(), raw.data(), raw.size());
        else if (type == TP::FLOAT16)
            halvesToFloats(raw.data(), tensor->floats.data(), *count);
        else if (isFloat)
            for (size_t i = 0; i < *count; ++i)
                tensor->floats[i] = float(rawAsDouble(raw.data(), type, i));
        else
            for (size_t i = 0; i < *count; ++i)
                tensor->ints[i] = rawAsInt(raw.data(), type, i);
        return std::shared_ptr<const Tensor>(std::move(tensor));
    }

    // Typed fields: fp16 and the small integer types are stored one per int32_data entry.
    auto sizeMismatch = [&](size_t have) {
        return fail("holds " + std::to_string(have) + " values where its dimensions need " + std::to_string(*count));
    };
    switch (type) {
    case TP::FLOAT:
        if (size_t(proto.float_data_size()) != *count)
            return sizeMismatch(proto.float_data_size());
        std::copy(proto.float_data().begin(), proto.float_data().end(), tensor->floats.begin());
        break;
    case TP::DOUBLE:
        if (size_t(proto.double_data_size()) != *count)
            return sizeMismatch(proto.double_data_size());
        for (size_t i = 0; i < *count; ++i)
            tensor->floats[i] = float(proto.double_data(int(i)));
        break;
    case TP::FLOAT16:
        if (size_t(proto.int32_data_size()) != *count)
            return sizeMismatch(proto.int32_data_size());
        for (size_t i = 0; i < *count; ++i)
            tensor->floats[i] = halfToFloat(uint16_t(proto.int32_data(int(i))));
        break;
    case TP::INT64:
        if (size_t(proto.int64_data_size()) != *count)
            return sizeMismatch(proto.int64_data_size());
        std::copy(proto.int64_data().begin(), proto.int64_data().end(), tensor->ints.begin());
        break;
    case TP::UINT32:
        if (size_t(proto.uint64_data_size()) != *count)
            return sizeMismatch(proto.uint64_data_size());
        for (size_t i = 0; i < *count; ++i)
            tensor->ints[i] = int64_t(proto.uint64_data(int(i)));
        break;
    default: // INT8…INT32, UINT8, UINT16, BOOL
        if (size_t(proto.int32_data_size()) != *count)
            return sizeMismatch(proto.int32_data_size());
        for (size_t i = 0; i < *count; ++i)
            tensor->ints[i] = type == TP::BOOL ? proto.int32_data(int(i)) != 0 : proto.int32_data(int(i));
        break;
    }
    return std::shared_ptr<const Tensor>(std::move(tensor));
}

Result<Attribute, std::string> convertAttribute(const onnx::AttributeProto& proto, const std::string& nodeLabel)
{
    using AP = onnx::AttributeProto;
    Attribute attribute;
    switch (proto.type()) {
    case AP::INT:
        attribute.kind = Attribute::Kind::integer;
        attribute.i = proto.i();
        break;
    case AP::FLOAT:
        attribute.kind = Attribute::Kind::real;
        attribute.f = proto.f();
        break;
    case AP::STRING:
        attribute.kind = Attribute::Kind::text;
        attribute.s = proto.s();
        break;
    case AP::INTS:
        attribute.kind = Attribute::Kind::integers;
        attribute.ints.assign(proto.ints().begin(), proto.ints().end());
        break;
    case AP::FLOATS:
        attribute.kind = Attribute::Kind::reals;
        attribute.floats.assign(proto.floats().begin(), proto.floats().end());
        break;
    case AP::TENSOR: {
        auto tensor = convertTensor(proto.t(), "'" + proto.name() + "' of " + nodeLabel);
        if (!tensor)
            return unexpected(tensor.error());
        attribute.kind = Attribute::Kind::tensor;
        attribute.tensor = std::move(*tensor);
        break;
    }
    default: attribute.kind = Attribute::Kind::other; break; // refused by whoever needs it
    }
    return attribute;
}

ValueInfo convertValueInfo(const onnx::ValueInfoProto& proto)
{
    ValueInfo info;
    info.name = proto.name();
    if (proto.type().has_tensor_type()) {
        const auto& tensorType = proto.type().tensor_type();
        info.onnxElementType = tensorType.elem_type();
        if (tensorType.has_shape()) {
            info.hasShape = true;
            for (const auto& dim : tensorType.shape().dim())
                info.dims.push_back(dim.has_dim_value() ? dim.dim_value() : -1);
        }
    }
    return info;
}

// Initializers' bytes are released as they are converted, so the protobuf copy and the fp32 copy
// of the weights never both exist in full.
Result<OnnxGraph, std::string> convertModel(onnx::ModelProto& model)
{
    OnnxGraph graph;
    if (!model.has_graph() || model.graph().node_size() == 0)
        return unexpected(std::string("it holds no graph"));
    for (const auto& opset : model.opset_import())
        if (opset.domain().empty() || opset.domain() == "ai.onnx")
            graph.opsetVersion = opset.version();

    auto& g = *model.mutable_graph();
    for (auto& initializer : *g.mutable_initializer()) {
        auto tensor = convertTensor(initializer, "'" + initializer.name() + "'");
        if (!tensor)
            return unexpected(tensor.error());
        graph.initializers[initializer.name()] = std::move(*tensor);
        std::string().swap(*initializer.mutable_raw_data());
    }
    for (const auto& input : g.input())
        if (!graph.initializers.contains(input.name()))
            graph.inputs.push_back(convertValueInfo(input));
    for (const auto& output : g.output())
        graph.outputs.push_back(convertValueInfo(output));

    graph.nodes.reserve(size_t(g.node_size()));
    for (int index = 0; index < g.node_size(); ++index) {
        const auto& proto = g.node(index);
        Node node;
        node.name = proto.name().empty() ? "#" + std::to_string(index) : proto.name();
        node.op = proto.op_type();
        if (!proto.domain().empty() && proto.domain() != "ai.onnx")
            return unexpected(node.label() + " belongs to operator domain '" + proto.domain()
                              + "', which is not supported");
        node.inputs.assign(proto.input().begin(), proto.input().end());
        node.outputs.assign(proto.output().begin(), proto.output().end());
        for (const auto& attributeProto : proto.attribute()) {
            auto attribute = convertAttribute(attributeProto, node.label());
            if (!attribute)
                return unexpected(attribute.error());
            node.attributes[attributeProto.name()] = std::move(*attribute);
        }
        graph.nodes.push_back(std::move(node));
    }
    return graph;
}

// Parses `bytes` into `model`; false when they are not a valid protobuf message.
bool parseProto(onnx::ModelProto& model, const void* bytes, size_t size)
{
    silenceProtobuf();
    return size <= size_t(std::numeric_limits<int>::max()) && model.ParseFromArray(bytes, int(size));
}

Result<OnnxGraph, std::string> convertParsed(onnx::ModelProto& model, bool parsed)
{
    if (!parsed)
        return unexpected(std::string("it is not an ONNX model (the protobuf data is damaged or truncated)"));
    return convertModel(model);
}

} // namespace

std::optional<size_t> elementCountOf(std::span<const int64_t> dims, size_t limit)
{
    size_t count = 1;
    for (int64_t dim : dims) {
        if (dim < 0)
            return std::nullopt;
        if (dim != 0 && count > limit / size_t(dim))
            return std::nullopt;
        count *= size_t(dim);
    }
    if (count > limit)
        return std::nullopt;
    return count;
}

Result<OnnxGraph, std::string> OnnxGraph::parse(std::span<const std::byte> bytes)
{
    if (bytes.size() > maxModelFileSize)
        return unexpected(std::string("the model is larger than 2 GiB"));
    try {
        onnx::ModelProto model;
        const bool parsed = parseProto(model, bytes.data(), bytes.size());
        return convertParsed(model, parsed);
    } catch (const std::bad_alloc&) {
        return unexpected(std::string("not enough memory to read the model"));
    } catch (const std::exception& e) {
        return unexpected(std::string("cannot read the model: ") + e.what());
    }
}

Result<OnnxGraph, std::string> OnnxGraph::parse(const std::filesystem::path& file)
{
    const std::string where = "Cannot load the model " + file.string() + ": ";
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error))
        return unexpected(
            where + (std::filesystem::exists(file, error) ? "it is not a regular file" : "the file does not exist"));
    const auto size = std::filesystem::file_size(file, error);
    if (error)
        return unexpected(where + error.message());
    if (size > maxModelFileSize)
        return unexpected(where + "the file is larger than 2 GiB");
    if (size == 0)
        return unexpected(where + "the file is empty");

    try {
        onnx::ModelProto model;
        bool parsed = false;
        {
            std::vector<std::byte> bytes(size); // released before the tensors are converted
            std::ifstream in(file, std::ios::binary);
            if (!in || !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size)))
                return unexpected(where + "the file cannot be read");
            parsed = parseProto(model, bytes.data(), bytes.size());
        }
        auto graph = convertParsed(model, parsed);
        if (!graph)
            return unexpected(where + graph.error());
        return graph;
    } catch (const std::bad_alloc&) {
        return unexpected(where + "not enough memory to read it");
    } catch (const std::exception& e) {
        return unexpected(where + "cannot read it: " + e.what());
    }
}

} // namespace pelorin::inference
