// Attribute validation and shape inference of the compute ops (the half of ComputeGraph.h that
// knows each op's ONNX semantics). Anything outside the implemented subset is refused by name
// rather than approximated.
#include "engine/Inference/ComputeGraph.h"

#include <algorithm>
#include <set>

namespace pelorin::inference {
namespace {

// No activation of a model we run comes near this (4 GiB of floats); it stops a hostile Resize.
constexpr int64_t maxActivationElements = int64_t{1} << 30;

using Failure = Unexpected<std::string>;

Failure fail(const Node& node, const std::string& why)
{
    return unexpected(node.label() + ": " + why);
}

std::string dimsText(const Dims& dims)
{
    return std::to_string(dims[0]) + "×" + std::to_string(dims[1]) + "×" + std::to_string(dims[2]) + "×"
        + std::to_string(dims[3]);
}

Result<void, std::string> checkAttributes(const Node& node, std::initializer_list<const char*> known)
{
    for (const auto& [key, value] : node.attributes)
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == k; }))
            return fail(node, "attribute '" + key + "' is not supported");
    return {};
}

Result<std::vector<int64_t>, std::string> intsAttribute(const Node& node, const char* key, size_t count,
                                                        std::vector<int64_t> fallback)
{
    const Attribute* attribute = node.attribute(key);
    if (!attribute)
        return fallback;
    if (attribute->kind != Attribute::Kind::integers || attribute->ints.size() != count)
        return fail(node, "attribute '" + std::string(key) + "' must hold " + std::to_string(count) + " integers");
    return attribute->ints;
}

Result<int64_t, std::string> intAttribute(const Node& node, const char* key, int64_t fallback)
{
    const Attribute* attribute = node.attribute(key);
    if (!attribute)
        return fallback;
    if (attribute->kind != Attribute::Kind::integer)
        return fail(node, "attribute '" + std::string(key) + "' must be an integer");
    return attribute->i;
}

Result<std::string, std::string> textAttribute(const Node& node, const char* key, const std::string& fallback)
{
    const Attribute* attribute = node.attribute(key);
    if (!attribute)
        return fallback;
    if (attribute->kind != Attribute::Kind::text)
        return fail(node, "attribute '" + std::string(key) + "' must be a string");
    return attribute->s;
}

// The attribute must be absent or equal to `expected`.
Result<void, std::string> requireText(const Node& node, const char* key, const std::string& fallback,
                                      std::initializer_list<const char*> accepted)
{
    auto value = textAttribute(node, key, fallback);
    if (!value)
        return unexpected(value.error());
    if (std::none_of(accepted.begin(), accepted.end(), [&](const char* a) { return *value == a; }))
        return fail(node,
                    "attribute '" + std::string(key) + "' = '" + *value + "' is not supported (only '"
                        + *accepted.begin() + "')");
    return {};
}

Result<void, std::string> requireInt(const Node& node, const char* key, int64_t fallback, int64_t accepted)
{
    auto value = intAttribute(node, key, fallback);
    if (!value)
        return unexpected(value.error());
    if (*value != accepted)
        return fail(node,
                    "attribute '" + std::string(key) + "' = " + std::to_string(*value) + " is not supported (only "
                        + std::to_string(accepted) + ")");
    return {};
}

// The operand must be a computed tensor.
Result<int, std::string> computedInput(const Node& node, const std::vector<Operand>& operands, size_t index)
{
    if (index >= operands.size() || !operands[index].present())
        return fail(node, "input " + std::to_string(index) + " is missing");
    if (operands[index].value < 0)
        return fail(node, "input '" + node.inputs[index] + "' is a constant, which is not supported here");
    return operands[index].value;
}

#define TRY_ASSIGN(target, expression)                                                                                 \
    auto target##Result = (expression);                                                                                \
    if (!target##Result)                                                                                               \
        return unexpected(target##Result.error());                                                                     \
    auto target = std::move(*target##Result)

#define TRY(expression)                                                                                                \
    if (auto tryResult = (expression); !tryResult)                                                                     \
    return unexpected(tryResult.error())

Result<ComputeOp, std::string> buildConvolution(const Node& node, const std::vector<Operand>& operands,
                                                const std::vector<ComputeValue>& values, Dims& out)
{
    TRY(checkAttributes(node, {"kernel_shape", "strides", "pads", "dilations", "group", "auto_pad"}));
    TRY(requireInt(node, "group", 1, 1));
    TRY(requireText(node, "auto_pad", "NOTSET", {"NOTSET"}));
    TRY_ASSIGN(x, computedInput(node, operands, 0));
    if (operands.size() < 2 || !operands[1].constant)
        return fail(node, "the weights must be a constant tensor");
    const Tensor& weights = *operands[1].constant;
    const Dims& in = values[size_t(x)].dims;
    if (weights.type != ElementType::float32 || weights.dims.size() != 4)
        return fail(node, "the weights must be a 4-D float tensor (2-D convolution)");
    if (weights.dims[1] != in[1])
        return fail(node,
                    "the weights expect " + std::to_string(weights.dims[1]) + " input channels, the input has "
                        + std::to_string(in[1]));
    ComputeOp op;
    op.kind = OpKind::convolution;
    op.inputs = {x};
    op.convolution.weights = operands[1].constant;
    if (operands.size() > 2 && operands[2].present()) {
        const auto& bias = operands[2].constant;
        if (!bias || bias->type != ElementType::float32 || bias->elementCount() != size_t(weights.dims[0]))
            return fail(node,
                        "the bias must be a constant float tensor of " + std::to_string(weights.dims[0]) + " values");
        op.convolution.bias = bias;
    }
    TRY_ASSIGN(kernel, intsAttribute(node, "kernel_shape", 2, {weights.dims[2], weights.dims[3]}));
    if (kernel[0] != weights.dims[2] || kernel[1] != weights.dims[3])
        return fail(node, "attribute 'kernel_shape' disagrees with the weights");
    TRY_ASSIGN(strides, intsAttribute(node, "strides", 2, {1, 1}));
    TRY_ASSIGN(dilations, intsAttribute(node, "dilations", 2, {1, 1}));
    TRY_ASSIGN(pads, intsAttribute(node, "pads", 4, {0, 0, 0, 0}));
    auto& p = op.convolution;
    for (int k = 0; k < 2; ++k) {
        if (strides[size_t(k)] < 1 || dilations[size_t(k)] < 1 || pads[size_t(k)] < 0 || pads[size_t(k) + 2] < 0
            || kernel[size_t(k)] < 1)
            return fail(node, "strides, dilations and kernel must be positive and pads not negative");
        p.kernel[size_t(k)] = kernel[size_t(k)];
        p.stride[size_t(k)] = strides[size_t(k)];
        p.dilation[size_t(k)] = dilations[size_t(k)];
        p.padBegin[size_t(k)] = pads[size_t(k)];
        p.padEnd[size_t(k)] = pads[size_t(k) + 2];
    }
    out = {in[0], weights.dims[0], 0, 0};
    for (int k = 0; k < 2; ++k) {
        const int64_t extent = in[size_t(k) + 2] + p.padBegin[size_t(k)] + p.padEnd[size_t(k)]
            - p.dilation[size_t(k)] * (p.kernel[size_t(k)] - 1) - 1;
        if (extent < 0)
            return fail(node, "the kernel is larger than the padded input " + dimsText(in));
        out[size_t(k) + 2] = extent / p.stride[size_t(k)] + 1;
    }
    return op;
}

Result<ComputeOp, std::string> buildMaxPool(const Node& node, const std::vector<Operand>& operands,
                                            const std::vector<ComputeValue>& values, Dims& out)
{
    TRY(checkAttributes(node,
                        {"kernel_shape", "strides", "pads", "dilations", "ceil_mode", "auto_pad", "storage_order"}));
    TRY(requireText(node, "auto_pad", "NOTSET", {"NOTSET"}));
    TRY_ASSIGN(x, computedInput(node, operands, 0));
    const Dims& in = values[size_t(x)].dims;
    if (!node.attribute("kernel_shape"))
        return fail(node, "attribute 'kernel_shape' is required");
    TRY_ASSIGN(kernel, intsAttribute(node, "kernel_shape", 2, {}));
    TRY_ASSIGN(strides, intsAttribute(node, "strides", 2, {1, 1}));
    TRY_ASSIGN(pads, intsAttribute(node, "pads", 4, {0, 0, 0, 0}));
    TRY_ASSIGN(dilations, intsAttribute(node, "dilations", 2, {1, 1}));
    if (dilations[0] != 1 || dilations[1] != 1)
        return fail(node, "attribute 'dilations' other than 1 is not supported");
    TRY_ASSIGN(ceilMode, intAttribute(node, "ceil_mode", 0));

    ComputeOp op;
    op.kind = OpKind::maxPool;
    op.inputs = {x};
    out = {in[0], in[1], 0, 0};
    for (size_t k = 0; k < 2; ++k) {
        const int64_t size = in[k + 2], kSize = kernel[k], stride = strides[k], begin = pads[k], end = pads[k + 2];
        if (kSize < 1 || stride < 1 || begin < 0 || end < 0 || begin >= kSize || end >= kSize)
            return fail(node, "kernel, strides and pads are out of range");
        const int64_t span = size + begin + end - kSize;
        if (span < 0)
            return fail(node, "the kernel is larger than the padded input " + dimsText(in));
        int64_t count = (ceilMode ? (span + stride - 1) / stride : span / stride) + 1;
        // A last window that would start in the end padding is dropped (the ceil-mode rule).
        if (ceilMode && (count - 1) * stride >= size + begin)
            --count;
        op.pooling.kernel[k] = kSize;
        op.pooling.stride[k] = stride;
        op.pooling.padBegin[k] = begin;
        op.pooling.padEnd[k] = std::max(end, (count - 1) * stride + kSize - size - begin);
        out[k + 2] = count;
    }
    return op;
}

Result<ComputeOp, std::string> buildResize(const Node& node, const std::vector<Operand>& operands,
                                           const std::vector<ComputeValue>& values, Dims& out, int64_t opset)
{
    TRY(checkAttributes(node,
                        {"mode", "coordinate_transformation_mode", "cubic_coeff_a", "exclude_outside",
                         "extrapolation_value", "nearest_mode", "antialias", "keep_aspect_ratio_policy"}));
    TRY(requireText(node, "mode", "nearest", {"linear"}));
    TRY(requireText(node, "coordinate_transformation_mode", "half_pixel", {"half_pixel"}));
    TRY(requireInt(node, "exclude_outside", 0, 0));
    TRY(requireInt(node, "antialias", 0, 0));
    TRY(requireText(node, "keep_aspect_ratio_policy", "stretch", {"stretch"}));
    TRY_ASSIGN(x, computedInput(node, operands, 0));
    const Dims& in = values[size_t(x)].dims;

    // Opset 10: (X, scales); 11 and later: (X, roi, scales, sizes). roi only matters to
    // tf_crop_and_resize, which is refused above.
    const bool withRoi = opset >= 11 || operands.size() > 2;
    const size_t scalesIndex = withRoi ? 2 : 1, sizesIndex = 3;
    auto constantAt = [&](size_t i) -> const Tensor* {
        if (i >= operands.size() || !operands[i].present())
            return nullptr;
        return operands[i].constant.get();
    };
    for (size_t i = 1; i < operands.size(); ++i)
        if (operands[i].present() && !operands[i].constant)
            return fail(node, "input '" + node.inputs[i] + "' must be computable at load time (a constant)");
    const Tensor* scales = constantAt(scalesIndex);
    const Tensor* sizes = withRoi ? constantAt(sizesIndex) : nullptr;
    if (scales && scales->elementCount() == 0)
        scales = nullptr;
    if (sizes && sizes->elementCount() == 0)
        sizes = nullptr;
    if (!scales == !sizes)
        return fail(node, "exactly one of scales and sizes must be given");

    if (sizes) {
        if (sizes->type != ElementType::int64 || sizes->elementCount() != 4)
            return fail(node, "sizes must hold 4 integers");
        out = {sizes->ints[0], sizes->ints[1], sizes->ints[2], sizes->ints[3]};
    } else {
        if (scales->type != ElementType::float32 || scales->elementCount() != 4)
            return fail(node, "scales must hold 4 floats");
        out = in;
        for (size_t k = 0; k < 4; ++k) {
            const double scaled = double(in[k]) * double(scales->floats[k]);
            out[k] = int64_t(scaled);
            // half_pixel maps with the given scale; only when it equals out / in is that the
            // explicit-size resize we run.
            if (double(out[k]) != scaled)
                return fail(node, "scales that do not give whole output sizes are not supported");
        }
    }
    if (out[0] != in[0] || out[1] != in[1])
        return fail(node, "resizing the batch or channel axis is not supported");
    if (out[2] < 1 || out[3] < 1)
        return fail(node, "the output size " + dimsText(out) + " is empty");
    ComputeOp op;
    op.kind = OpKind::resize;
    op.inputs = {x};
    return op;
}

Result<ComputeOp, std::string> buildConcat(const Node& node, const std::vector<Operand>& operands,
                                           const std::vector<ComputeValue>& values, Dims& out)
{
    TRY(checkAttributes(node, {"axis"}));
    if (!node.attribute("axis"))
        return fail(node, "attribute 'axis' is required");
    TRY_ASSIGN(axis, intAttribute(node, "axis", 1));
    if (axis < -4 || axis > 3)
        return fail(node, "attribute 'axis' = " + std::to_string(axis) + " is out of range");
    if (axis < 0)
        axis += 4;
    if (operands.empty())
        return fail(node, "it has no inputs");
    ComputeOp op;
    op.kind = OpKind::concat;
    op.axis = axis;
    for (size_t i = 0; i < operands.size(); ++i) {
        TRY_ASSIGN(x, computedInput(node, operands, i));
        const Dims& dims = values[size_t(x)].dims;
        if (i == 0) {
            out = dims;
        } else {
            for (size_t k = 0; k < 4; ++k)
                if (k != size_t(axis) && dims[k] != out[k])
                    return fail(node,
                                "input shapes " + dimsText(values[size_t(op.inputs[0])].dims) + " and " + dimsText(dims)
                                    + " differ outside axis " + std::to_string(axis)
                                    + " (is the input size one this model supports?)");
            out[size_t(axis)] += dims[size_t(axis)];
        }
        op.inputs.push_back(x);
    }
    return op;
}

Result<ComputeOp, std::string> buildElementwise(const Node& node, const std::vector<Operand>& operands,
                                                const std::vector<ComputeValue>& values, Dims& out, OpKind kind)
{
    TRY(checkAttributes(node, {}));
    const size_t arity = kind == OpKind::add ? 2 : 1;
    if (operands.size() != arity)
        return fail(node, "expects " + std::to_string(arity) + " inputs");
    ComputeOp op;
    op.kind = kind;
    for (size_t i = 0; i < arity; ++i) {
        TRY_ASSIGN(x, computedInput(node, operands, i));
        op.inputs.push_back(x);
    }
    out = values[size_t(op.inputs[0])].dims;
    if (kind == OpKind::add && values[size_t(op.inputs[1])].dims != out)
        return fail(node,
                    "operand shapes " + dimsText(out) + " and " + dimsText(values[size_t(op.inputs[1])].dims)
                        + " differ (broadcasting is not supported)");
    return op;
}

} // namespace

const char* opKindName(OpKind kind)
{
    switch (kind) {
    case OpKind::convolution: return "Conv";
    case OpKind::relu: return "Relu";
    case OpKind::maxPool: return "MaxPool";
    case OpKind::resize: return "Resize";
    case OpKind::concat: return "Concat";
    case OpKind::add: return "Add";
    case OpKind::sigmoid: return "Sigmoid";
    }
    return "?";
}

bool isComputeOp(const std::string& op)
{
    static const std::set<std::string> ops{"Conv", "Relu", "MaxPool", "Resize", "Concat", "Add", "Sigmoid"};
    return ops.contains(op);
}

Result<ComputeOp, std::string> buildComputeOp(const Node& node, const std::vector<Operand>& operands,
                                              const std::vector<ComputeValue>& values, Dims& outputDims, int64_t opset)
{
    Result<ComputeOp, std::string> op = fail(node, "this op is not supported");
    if (node.op == "Conv")
        op = buildConvolution(node, operands, values, outputDims);
    else if (node.op == "MaxPool")
        op = buildMaxPool(node, operands, values, outputDims);
    else if (node.op == "Resize")
        op = buildResize(node, operands, values, outputDims, opset);
    else if (node.op == "Concat")
        op = buildConcat(node, operands, values, outputDims);
    else if (node.op == "Add")
        op = buildElementwise(node, operands, values, outputDims, OpKind::add);
    else if (node.op == "Relu")
        op = buildElementwise(node, operands, values, outputDims, OpKind::relu);
    else if (node.op == "Sigmoid")
        op = buildElementwise(node, operands, values, outputDims, OpKind::sigmoid);
    if (!op)
        return op;
    if (outputDims[0] < 1 || outputDims[1] < 1 || outputDims[2] < 1 || outputDims[3] < 1
        || !elementCountOf(outputDims, size_t(maxActivationElements)))
        return fail(node, "the output shape " + dimsText(outputDims) + " is empty or too large");
    op->name = node.name;
    return op;
}

} // namespace pelorin::inference
