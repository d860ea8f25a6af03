// Shape arithmetic folded at load, against values worked out by hand from the ONNX operator
// definitions: the clamping and negative-step rules of Slice, negative Gather indices, broadcasting,
// integer division, Reshape's 0 and -1, and the refusals that name the node.
#include "engine/Inference/ConstantFolder.h"

#include <gtest/gtest.h>

namespace pelorin::inference {
namespace {

Tensor ints(std::vector<int64_t> values, std::vector<int64_t> dims = {})
{
    const std::vector<int64_t> shape = dims.empty() ? std::vector{int64_t(values.size())} : dims;
    return {ElementType::int64, shape, {}, std::move(values)};
}

Tensor floats(std::vector<float> values, std::vector<int64_t> dims = {})
{
    const std::vector<int64_t> shape = dims.empty() ? std::vector{int64_t(values.size())} : dims;
    return {ElementType::float32, shape, std::move(values), {}};
}

Node node(const std::string& op, std::map<std::string, Attribute> attributes = {})
{
    return {"n", op, {}, {"out"}, std::move(attributes)};
}

Attribute integer(int64_t value) { return {Attribute::Kind::integer, value, 0, {}, {}, {}, {}}; }
Attribute integers(std::vector<int64_t> values) { return {Attribute::Kind::integers, 0, 0, {}, std::move(values), {}, {}}; }

Result<Tensor, std::string> fold(const Node& n, std::vector<const Tensor*> inputs) { return foldConstantNode(n, inputs); }

TEST(ConstantFolder, SliceClampsIndicesAndWalksBackwards)
{
    const Tensor data = ints({10, 11, 12, 13, 14, 15});
    const Tensor start = ints({-4}), hugeEnd = ints({INT64_MAX}), axis = ints({0}), two = ints({2});
    EXPECT_EQ(fold(node("Slice"), {&data, &start, &hugeEnd, &axis, &two})->ints, (std::vector<int64_t>{12, 14}));

    const Tensor last = ints({-1}), beforeFirst = ints({INT64_MIN}), back = ints({-1});
    auto reversed = fold(node("Slice"), {&data, &last, &beforeFirst, &axis, &back});
    EXPECT_EQ(reversed->ints, (std::vector<int64_t>{15, 14, 13, 12, 11, 10}));

    const Tensor empty = fold(node("Slice"), {&data, &two, &two}).value();
    EXPECT_EQ(empty.dims, (std::vector<int64_t>{0}));

    // Opset 1 keeps starts/ends/axes in attributes; a 2-D slice along the second axis.
    const Tensor matrix = floats({1, 2, 3, 4, 5, 6}, {2, 3});
    auto columns = fold(node("Slice", {{"starts", integers({1})}, {"ends", integers({3})}, {"axes", integers({-1})}}),
                        {&matrix});
    ASSERT_TRUE(columns) << columns.error();
    EXPECT_EQ(columns->dims, (std::vector<int64_t>{2, 2}));
    EXPECT_EQ(columns->floats, (std::vector<float>{2, 3, 5, 6}));

    const Tensor zero = ints({0});
    EXPECT_NE(fold(node("Slice"), {&data, &zero, &two, &axis, &zero}).error().find("step is zero"), std::string::npos);
}

TEST(ConstantFolder, ShapeGatherUnsqueezeConcatBuildSizes)
{
    const std::vector<int64_t> dims{1, 64, 32, 48};
    auto shape = foldShape(node("Shape"), dims);
    ASSERT_TRUE(shape);
    EXPECT_EQ(shape->ints, dims);
    EXPECT_EQ(foldShape(node("Shape", {{"start", integer(-2)}}), dims)->ints, (std::vector<int64_t>{32, 48}));

    Tensor scalarIndex = ints({-1});
    scalarIndex.dims = {};
    auto width = fold(node("Gather"), {&*shape, &scalarIndex});
    ASSERT_TRUE(width) << width.error();
    EXPECT_TRUE(width->dims.empty()); // a scalar index gives a scalar
    EXPECT_EQ(width->ints, (std::vector<int64_t>{48}));
    const Tensor axes = ints({0});
    auto vector = fold(node("Unsqueeze"), {&*width, &axes});
    EXPECT_EQ(vector->dims, (std::vector<int64_t>{1}));
    auto joined = fold(node("Concat", {{"axis", integer(0)}}), {&*shape, &*vector});
    EXPECT_EQ(joined->ints, (std::vector<int64_t>{1, 64, 32, 48, 48}));

    const Tensor outOfRange = ints({4});
    EXPECT_NE(fold(node("Gather"), {&*shape, &outOfRange}).error().find("out of range"), std::string::npos);
}

TEST(ConstantFolder, ArithmeticBroadcastsAndCastsTruncate)
{
    const Tensor sizes = ints({32, 48}), scale = ints({3}), divisor = ints({-4});
    auto scaled = fold(node("Mul"), {&sizes, &scale});
    EXPECT_EQ(scaled->ints, (std::vector<int64_t>{96, 144}));
    EXPECT_EQ(fold(node("Div"), {&*scaled, &divisor})->ints, (std::vector<int64_t>{-24, -36}));
    const Tensor column = floats({1, 2}, {2, 1}), row = floats({10, 20, 30}, {1, 3});
    auto grid = fold(node("Add"), {&column, &row});
    EXPECT_EQ(grid->dims, (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(grid->floats, (std::vector<float>{11, 21, 31, 12, 22, 32}));
    const Tensor zero = ints({0});
    EXPECT_FALSE(fold(node("Div"), {&sizes, &zero}));
    EXPECT_FALSE(fold(node("Add"), {&sizes, &row})) << "int64 and float operands";

    const Tensor fractions = floats({2.7f, -2.7f});
    EXPECT_EQ(fold(node("Cast", {{"to", integer(7)}}), {&fractions})->ints, (std::vector<int64_t>{2, -2}));
    EXPECT_EQ(fold(node("Floor"), {&fractions})->floats, (std::vector<float>{2, -3}));
    EXPECT_EQ(fold(node("Cast", {{"to", integer(1)}}), {&sizes})->floats, (std::vector<float>{32, 48}));
}

TEST(ConstantFolder, ReshapeAndSqueezeKeepTheData)
{
    const Tensor data = ints({1, 2, 3, 4, 5, 6}, {1, 2, 3});
    const Tensor target = ints({0, -1});
    auto reshaped = fold(node("Reshape"), {&data, &target});
    ASSERT_TRUE(reshaped) << reshaped.error();
    EXPECT_EQ(reshaped->dims, (std::vector<int64_t>{1, 6}));
    EXPECT_EQ(reshaped->ints, data.ints);
    const Tensor bad = ints({4, -1});
    EXPECT_FALSE(fold(node("Reshape"), {&data, &bad}));
    EXPECT_EQ(fold(node("Squeeze"), {&data})->dims, (std::vector<int64_t>{2, 3}));
    const Tensor notOne = ints({1});
    EXPECT_FALSE(fold(node("Squeeze"), {&data, &notOne}));
}

TEST(ConstantFolder, RefusalsNameTheNodeAndTheCause)
{
    const Tensor data = ints({1, 2});
    auto unknownAttribute = fold(node("Concat", {{"axis", integer(0)}, {"mystery", integer(1)}}), {&data});
    ASSERT_FALSE(unknownAttribute);
    EXPECT_NE(unknownAttribute.error().find("node 'n' (Concat)"), std::string::npos);
    EXPECT_NE(unknownAttribute.error().find("'mystery'"), std::string::npos);
    EXPECT_NE(fold(node("Concat", {{"axis", integer(3)}}), {&data}).error().find("axis 3"), std::string::npos);
    EXPECT_NE(fold(node("Cast", {{"to", integer(8)}}), {&data}).error().find("'to'"), std::string::npos);
    EXPECT_NE(fold(node("Range"), {&data}).error().find("cannot be evaluated"), std::string::npos);
    EXPECT_FALSE(isFoldableOp("Conv"));
}

} // namespace
} // namespace pelorin::inference
