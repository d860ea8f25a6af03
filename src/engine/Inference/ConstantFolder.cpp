#include "engine/Inference/ConstantFolder.h"

#include <onnx/onnx_pb.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <set>

namespace pelorin::inference {
namespace {

// Folded tensors are shape arithmetic; anything larger means a graph we were not built for.
constexpr size_t maxFoldedElements = size_t{1} << 24;

using Failure = Unexpected<std::string>;

Failure fail(const Node& node, const std::string& why)
{
    return unexpected(node.label() + ": " + why);
}

Result<void, std::string> checkAttributes(const Node& node, std::initializer_list<const char*> known)
{
    for (const auto& [key, value] : node.attributes)
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
            return fail(node, "attribute '" + key + "' is not supported when folding constants");
    return {};
}

int64_t intAttribute(const Node& node, const char* key, int64_t fallback)
{
    const Attribute* attribute = node.attribute(key);
    return attribute && attribute->kind == Attribute::Kind::integer ? attribute->i : fallback;
}

std::vector<int64_t> intsOf(const Tensor& tensor)
{
    std::vector<int64_t> values(tensor.elementCount());
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = tensor.asInt(i);
    return values;
}

Tensor emptyLike(ElementType type, std::vector<int64_t> dims)
{
    Tensor tensor;
    tensor.type = type;
    tensor.dims = std::move(dims);
    size_t count = 1;
    for (int64_t d : tensor.dims)
        count *= size_t(d);
    if (type == ElementType::float32)
        tensor.floats.resize(count);
    else
        tensor.ints.resize(count);
    return tensor;
}

void copyElement(const Tensor& from, size_t i, Tensor& to, size_t j)
{
    if (from.type == ElementType::float32)
        to.floats[j] = from.floats[i];
    else
        to.ints[j] = from.ints[i];
}

// Strides of a row-major tensor.
std::vector<size_t> stridesOf(std::span<const int64_t> dims)
{
    std::vector<size_t> strides(dims.size(), 1);
    for (size_t k = dims.size(); k-- > 1;)
        strides[k - 1] = strides[k] * size_t(dims[k]);
    return strides;
}

Result<int64_t, std::string> normaliseAxis(const Node& node, int64_t axis, size_t rank)
{
    const int64_t r = int64_t(rank);
    if (axis < -r || axis >= r)
        return fail(node, "axis " + std::to_string(axis) + " is out of range for rank " + std::to_string(rank));
    return axis < 0 ? axis + r : axis;
}

Result<Tensor, std::string> checkedSize(const Node& node, std::vector<int64_t> dims, ElementType type)
{
    if (!elementCountOf(dims, maxFoldedElements))
        return fail(node, "the folded tensor would be too large");
    return emptyLike(type, std::move(dims));
}

Result<Tensor, std::string> foldConstant(const Node& node)
{
    if (node.attributes.size() != 1)
        return fail(node, "a Constant needs exactly one value attribute");
    const auto& [key, attribute] = *node.attributes.begin();
    Tensor tensor;
    if (key == "value" && attribute.kind == Attribute::Kind::tensor)
        return *attribute.tensor;
    if (key == "value_float" && attribute.kind == Attribute::Kind::real) {
        tensor.floats = {attribute.f};
    } else if (key == "value_floats" && attribute.kind == Attribute::Kind::reals) {
        tensor.floats = attribute.floats;
        tensor.dims = {int64_t(attribute.floats.size())};
    } else if (key == "value_int" && attribute.kind == Attribute::Kind::integer) {
        tensor.type = ElementType::int64;
        tensor.ints = {attribute.i};
    } else if (key == "value_ints" && attribute.kind == Attribute::Kind::integers) {
        tensor.type = ElementType::int64;
        tensor.ints = attribute.ints;
        tensor.dims = {int64_t(attribute.ints.size())};
    } else {
        return fail(node, "attribute '" + key + "' is not supported");
    }
    return tensor;
}

Result<Tensor, std::string> foldCast(const Node& node, const Tensor& input)
{
    if (auto ok = checkAttributes(node, {"to", "saturate"}); !ok)
        return unexpected(ok.error());
    using TP = onnx::TensorProto;
    const int64_t to = intAttribute(node, "to", 0);
    Tensor out;
    out.dims = input.dims;
    switch (to) {
    case TP::FLOAT:
    case TP::FLOAT16:
    case TP::DOUBLE:
        out.type = ElementType::float32;
        out.floats.resize(input.elementCount());
        for (size_t i = 0; i < out.floats.size(); ++i)
            out.floats[i] = float(input.asDouble(i));
        return out;
    case TP::INT8:
    case TP::INT16:
    case TP::INT32:
    case TP::INT64:
    case TP::UINT8:
    case TP::UINT16:
    case TP::UINT32:
    case TP::BOOL:
        out.type = ElementType::int64;
        out.ints.resize(input.elementCount());
        for (size_t i = 0; i < out.ints.size(); ++i) {
            const double v = input.asDouble(i);
            if (!std::isfinite(v) || std::fabs(v) > 9.0e18)
                return fail(node, "a value does not fit an integer");
            out.ints[i] = to == TP::BOOL ? v != 0 : int64_t(v); // float → int truncates
        }
        return out;
    default: return fail(node, "attribute 'to' = " + std::to_string(to) + " is not a supported type");
    }
}

Result<Tensor, std::string> foldSlice(const Node& node, std::span<const Tensor* const> inputs)
{
    const Tensor& data = *inputs[0];
    std::vector<int64_t> starts, ends, axes, steps;
    if (inputs.size() >= 3) {
        if (auto ok = checkAttributes(node, {}); !ok)
            return unexpected(ok.error());
        if (!inputs[1] || !inputs[2])
            return fail(node, "starts and ends are required");
        starts = intsOf(*inputs[1]);
        ends = intsOf(*inputs[2]);
        if (inputs.size() > 3 && inputs[3])
            axes = intsOf(*inputs[3]);
        if (inputs.size() > 4 && inputs[4])
            steps = intsOf(*inputs[4]);
    } else { // opset < 10 keeps them in attributes
        if (auto ok = checkAttributes(node, {"starts", "ends", "axes"}); !ok)
            return unexpected(ok.error());
        const Attribute* s = node.attribute("starts");
        const Attribute* e = node.attribute("ends");
        if (!s || !e)
            return fail(node, "starts and ends are required");
        starts = s->ints;
        ends = e->ints;
        if (const Attribute* a = node.attribute("axes"))
            axes = a->ints;
    }
    const size_t rank = data.dims.size();
    if (axes.empty()) {
        axes.resize(starts.size());
        std::iota(axes.begin(), axes.end(), 0);
    }
    if (steps.empty())
        steps.assign(starts.size(), 1);
    if (ends.size() != starts.size() || axes.size() != starts.size() || steps.size() != starts.size())
        return fail(node, "starts, ends, axes and steps differ in length");

    std::vector<int64_t> begin(rank, 0), step(rank, 1), outDims = data.dims;
    std::set<int64_t> seen;
    for (size_t k = 0; k < starts.size(); ++k) {
        auto axis = normaliseAxis(node, axes[k], rank);
        if (!axis)
            return unexpected(axis.error());
        if (!seen.insert(*axis).second)
            return fail(node, "an axis is repeated");
        const int64_t dim = data.dims[size_t(*axis)];
        const int64_t s = steps[k];
        if (s == 0)
            return fail(node, "a step is zero");
        auto clampIndex = [&](int64_t v, int64_t low, int64_t high) {
            if (v < 0)
                v += dim;
            return std::clamp(v, low, high);
        };
        int64_t first, last;
        if (s > 0) {
            first = clampIndex(std::clamp<int64_t>(starts[k], -dim - 1, dim), 0, dim);
            last = clampIndex(std::clamp<int64_t>(ends[k], -dim - 1, dim), 0, dim);
        } else {
            first = clampIndex(std::clamp<int64_t>(starts[k], -dim - 1, dim), 0, dim - 1);
            last = clampIndex(std::clamp<int64_t>(ends[k], -dim - 1, dim), -1, dim - 1);
        }
        const int64_t count = s > 0 ? std::max<int64_t>(0, (last - first + s - 1) / s)
                                    : std::max<int64_t>(0, (first - last + (-s) - 1) / (-s));
        begin[size_t(*axis)] = first;
        step[size_t(*axis)] = s;
        outDims[size_t(*axis)] = count;
    }
    auto out = checkedSize(node, outDims, data.type);
    if (!out)
        return out;
    const auto inStrides = stridesOf(data.dims);
    const auto outStrides = stridesOf(outDims);
    for (size_t j = 0; j < out->elementCount(); ++j) {
        size_t source = 0;
        for (size_t d = 0; d < rank; ++d) {
            const int64_t index = int64_t(j / outStrides[d] % size_t(outDims[d]));
            source += size_t(begin[d] + index * step[d]) * inStrides[d];
        }
        copyElement(data, source, *out, j);
    }
    return out;
}

Result<Tensor, std::string> foldConcat(const Node& node, std::span<const Tensor* const> inputs)
{
    if (auto ok = checkAttributes(node, {"axis"}); !ok)
        return unexpected(ok.error());
    if (inputs.empty())
        return fail(node, "no inputs");
    const Tensor& first = *inputs[0];
    const size_t rank = first.dims.size();
    auto axis = normaliseAxis(node, intAttribute(node, "axis", 0), rank);
    if (!axis)
        return unexpected(axis.error());
    std::vector<int64_t> outDims = first.dims;
    outDims[size_t(*axis)] = 0;
    for (const Tensor* input : inputs) {
        if (!input)
            return fail(node, "an input is missing");
        if (input->type != first.type || input->dims.size() != rank)
            return fail(node, "inputs differ in type or rank");
        for (size_t d = 0; d < rank; ++d)
            if (d != size_t(*axis) && input->dims[d] != first.dims[d])
                return fail(node, "inputs differ in shape outside the concatenation axis");
        outDims[size_t(*axis)] += input->dims[size_t(*axis)];
    }
    auto out = checkedSize(node, outDims, first.type);
    if (!out)
        return out;
    // Rows of the outer dims, each the concatenation of every input's slab along the axis.
    size_t outer = 1, inner = 1;
    for (size_t d = 0; d < size_t(*axis); ++d)
        outer *= size_t(first.dims[d]);
    for (size_t d = size_t(*axis) + 1; d < rank; ++d)
        inner *= size_t(first.dims[d]);
    size_t j = 0;
    for (size_t o = 0; o < outer; ++o)
        for (const Tensor* input : inputs) {
            const size_t slab = size_t(input->dims[size_t(*axis)]) * inner;
            for (size_t i = 0; i < slab; ++i)
                copyElement(*input, o * slab + i, *out, j++);
        }
    return out;
}

Result<Tensor, std::string> foldGather(const Node& node, const Tensor& data, const Tensor& indices)
{
    if (auto ok = checkAttributes(node, {"axis"}); !ok)
        return unexpected(ok.error());
    if (indices.type != ElementType::int64)
        return fail(node, "indices must be integers");
    auto axis = normaliseAxis(node, intAttribute(node, "axis", 0), data.dims.size());
    if (!axis)
        return unexpected(axis.error());
    const size_t a = size_t(*axis);
    const int64_t dim = data.dims[a];
    std::vector<int64_t> outDims(data.dims.begin(), data.dims.begin() + long(a));
    outDims.insert(outDims.end(), indices.dims.begin(), indices.dims.end());
    outDims.insert(outDims.end(), data.dims.begin() + long(a) + 1, data.dims.end());
    auto out = checkedSize(node, outDims, data.type);
    if (!out)
        return out;
    size_t outer = 1, inner = 1;
    for (size_t d = 0; d < a; ++d)
        outer *= size_t(data.dims[d]);
    for (size_t d = a + 1; d < data.dims.size(); ++d)
        inner *= size_t(data.dims[d]);
    size_t j = 0;
    for (size_t o = 0; o < outer; ++o)
        for (int64_t index : indices.ints) {
            if (index < -dim || index >= dim)
                return fail(node, "index " + std::to_string(index) + " is out of range");
            const size_t row = size_t(index < 0 ? index + dim : index);
            for (size_t i = 0; i < inner; ++i)
                copyElement(data, (o * size_t(dim) + row) * inner + i, *out, j++);
        }
    return out;
}

// Unsqueeze and Squeeze: axes from the second input (opset 13+) or the attribute.
Result<std::vector<int64_t>, std::string> axesOf(const Node& node, std::span<const Tensor* const> inputs)
{
    if (auto ok = checkAttributes(node, {"axes"}); !ok)
        return unexpected(ok.error());
    if (inputs.size() > 1 && inputs[1])
        return intsOf(*inputs[1]);
    if (const Attribute* a = node.attribute("axes"))
        return a->ints;
    return std::vector<int64_t>{};
}

Result<Tensor, std::string> foldUnsqueeze(const Node& node, std::span<const Tensor* const> inputs)
{
    auto axes = axesOf(node, inputs);
    if (!axes)
        return unexpected(axes.error());
    Tensor out = *inputs[0];
    const size_t rank = out.dims.size() + axes->size();
    std::vector<bool> inserted(rank, false);
    for (int64_t axis : *axes) {
        auto a = normaliseAxis(node, axis, rank);
        if (!a)
            return unexpected(a.error());
        if (inserted[size_t(*a)])
            return fail(node, "an axis is repeated");
        inserted[size_t(*a)] = true;
    }
    std::vector<int64_t> dims;
    size_t k = 0;
    for (size_t d = 0; d < rank; ++d)
        dims.push_back(inserted[d] ? 1 : inputs[0]->dims[k++]);
    out.dims = dims;
    return out;
}

Result<Tensor, std::string> foldSqueeze(const Node& node, std::span<const Tensor* const> inputs)
{
    auto axes = axesOf(node, inputs);
    if (!axes)
        return unexpected(axes.error());
    Tensor out = *inputs[0];
    const size_t rank = out.dims.size();
    std::vector<bool> removed(rank, axes->empty());
    if (axes->empty())
        for (size_t d = 0; d < rank; ++d)
            removed[d] = out.dims[d] == 1;
    for (int64_t axis : *axes) {
        auto a = normaliseAxis(node, axis, rank);
        if (!a)
            return unexpected(a.error());
        if (out.dims[size_t(*a)] != 1)
            return fail(node, "cannot squeeze an axis whose size is not 1");
        removed[size_t(*a)] = true;
    }
    std::vector<int64_t> dims;
    for (size_t d = 0; d < rank; ++d)
        if (!removed[d])
            dims.push_back(out.dims[d]);
    out.dims = dims;
    return out;
}

Result<Tensor, std::string> foldReshape(const Node& node, std::span<const Tensor* const> inputs)
{
    if (auto ok = checkAttributes(node, {"allowzero"}); !ok)
        return unexpected(ok.error());
    if (inputs.size() < 2 || !inputs[1])
        return fail(node, "the shape input is required");
    const bool allowZero = intAttribute(node, "allowzero", 0) != 0;
    Tensor out = *inputs[0];
    std::vector<int64_t> dims = intsOf(*inputs[1]);
    int inferred = -1;
    size_t known = 1;
    for (size_t d = 0; d < dims.size(); ++d) {
        if (dims[d] == 0 && !allowZero) {
            if (d >= out.dims.size())
                return fail(node, "a zero in the shape has no matching input dimension");
            dims[d] = out.dims[d];
        }
        if (dims[d] == -1) {
            if (inferred >= 0)
                return fail(node, "more than one dimension is -1");
            inferred = int(d);
        } else if (dims[d] < 0) {
            return fail(node, "a dimension is negative");
        } else {
            known *= size_t(dims[d]);
        }
    }
    const size_t count = out.elementCount();
    if (inferred >= 0) {
        if (known == 0 || count % known != 0)
            return fail(node, "the shape does not divide the element count");
        dims[size_t(inferred)] = int64_t(count / known);
    } else if (known != count) {
        return fail(node, "the shape does not match the element count");
    }
    out.dims = dims;
    return out;
}

// Multidirectional (numpy-style) broadcasting for the elementwise ops.
Result<Tensor, std::string> foldBinary(const Node& node, const Tensor& a, const Tensor& b)
{
    if (auto ok = checkAttributes(node, {}); !ok)
        return unexpected(ok.error());
    if (a.type != b.type)
        return fail(node, "operands differ in element type");
    const size_t rank = std::max(a.dims.size(), b.dims.size());
    auto padded = [&](const Tensor& t) {
        std::vector<int64_t> dims(rank - t.dims.size(), 1);
        dims.insert(dims.end(), t.dims.begin(), t.dims.end());
        return dims;
    };
    const auto aDims = padded(a), bDims = padded(b);
    std::vector<int64_t> outDims(rank);
    for (size_t d = 0; d < rank; ++d) {
        if (aDims[d] != bDims[d] && aDims[d] != 1 && bDims[d] != 1)
            return fail(node, "operand shapes do not broadcast");
        outDims[d] = aDims[d] == 1 ? bDims[d] : aDims[d];
    }
    auto out = checkedSize(node, outDims, a.type);
    if (!out)
        return out;
    const auto aStrides = stridesOf(aDims), bStrides = stridesOf(bDims), outStrides = stridesOf(outDims);
    for (size_t j = 0; j < out->elementCount(); ++j) {
        size_t ia = 0, ib = 0;
        for (size_t d = 0; d < rank; ++d) {
            const size_t index = j / outStrides[d] % size_t(outDims[d]);
            ia += (aDims[d] == 1 ? 0 : index) * aStrides[d];
            ib += (bDims[d] == 1 ? 0 : index) * bStrides[d];
        }
        if (a.type == ElementType::float32) {
            const float x = a.floats[ia], y = b.floats[ib];
            out->floats[j] = node.op == "Add" ? x + y : node.op == "Sub" ? x - y : node.op == "Mul" ? x * y : x / y;
        } else {
            const int64_t x = a.ints[ia], y = b.ints[ib];
            if (node.op == "Div" && y == 0)
                return fail(node, "integer division by zero");
            out->ints[j] = node.op == "Add" ? x + y : node.op == "Sub" ? x - y : node.op == "Mul" ? x * y : x / y;
        }
    }
    return out;
}

Result<Tensor, std::string> foldRounding(const Node& node, const Tensor& input)
{
    if (auto ok = checkAttributes(node, {}); !ok)
        return unexpected(ok.error());
    Tensor out = input;
    for (float& v : out.floats)
        v = node.op == "Floor" ? std::floor(v) : std::ceil(v);
    return out;
}

} // namespace

bool isFoldableOp(const std::string& op)
{
    static const std::set<std::string> ops{"Constant", "Identity",  "Cast",    "Shape",   "Slice", "Concat",
                                           "Gather",   "Unsqueeze", "Squeeze", "Reshape", "Add",   "Sub",
                                           "Mul",      "Div",       "Floor",   "Ceil"};
    return ops.contains(op);
}

Result<Tensor, std::string> foldShape(const Node& node, std::span<const int64_t> dims)
{
    if (auto ok = checkAttributes(node, {"start", "end"}); !ok)
        return unexpected(ok.error());
    const int64_t rank = int64_t(dims.size());
    auto clampIndex = [&](int64_t v) { return std::clamp(v < 0 ? v + rank : v, int64_t{0}, rank); };
    const int64_t start = clampIndex(intAttribute(node, "start", 0));
    const int64_t end = clampIndex(intAttribute(node, "end", rank));
    Tensor out;
    out.type = ElementType::int64;
    if (end > start)
        out.ints.assign(dims.begin() + start, dims.begin() + end);
    out.dims = {int64_t(out.ints.size())};
    return out;
}

Result<Tensor, std::string> foldConstantNode(const Node& node, std::span<const Tensor* const> inputs)
{
    try {
        auto required = [&](size_t count) -> Result<void, std::string> {
            if (inputs.size() < count)
                return fail(node, "expects at least " + std::to_string(count) + " inputs");
            for (size_t i = 0; i < count; ++i)
                if (!inputs[i])
                    return fail(node, "input " + std::to_string(i) + " is missing");
            return {};
        };
        const std::string& op = node.op;
        if (op == "Constant")
            return foldConstant(node);
        Result<void, std::string> ok = required(
            op == "Add" || op == "Sub" || op == "Mul" || op == "Div" || op == "Gather" || op == "Reshape" ? 2 : 1);
        if (!ok)
            return unexpected(ok.error());
        if (op == "Identity") {
            if (auto ok2 = checkAttributes(node, {}); !ok2)
                return unexpected(ok2.error());
            return *inputs[0];
        }
        if (op == "Cast")
            return foldCast(node, *inputs[0]);
        if (op == "Shape")
            return foldShape(node, inputs[0]->dims);
        if (op == "Slice")
            return foldSlice(node, inputs);
        if (op == "Concat")
            return foldConcat(node, inputs);
        if (op == "Gather")
            return foldGather(node, *inputs[0], *inputs[1]);
        if (op == "Unsqueeze")
            return foldUnsqueeze(node, inputs);
        if (op == "Squeeze")
            return foldSqueeze(node, inputs);
        if (op == "Reshape")
            return foldReshape(node, inputs);
        if (op == "Add" || op == "Sub" || op == "Mul" || op == "Div")
            return foldBinary(node, *inputs[0], *inputs[1]);
        if (op == "Floor" || op == "Ceil")
            return foldRounding(node, *inputs[0]);
        return fail(node, "this op cannot be evaluated on constants");
    } catch (const std::bad_alloc&) {
        return fail(node, "not enough memory to fold it");
    }
}

} // namespace pelorin::inference
