// Shape arithmetic folded at load, against values worked out by hand from the ONNX operator
// definitions: the clamping and negative-step rules of Slice, negative Gather indices, broadcasting,
// integer division, Reshape's 0 and -1, and refusals that name the node.
#include "engine/Inference/ConstantFolder.h"

#include <gtest/gtest.h>

namespace pelorin::inference {
namespace {

using I = std::vector<int64_t>;

Tensor ints(I values, I dims = {})
{
    return {ElementType::int64, dims.empty() ? I{int64_t(values.size())} : dims, {}, std::move(values)};
}

Tensor floats(std::vector<float> values, I dims = {})
{
    return {ElementType::float32, dims.empty() ? I{int64_t(values.size())} : dims, std::move(values), {}};
}

Attribute integer(int64_t value)
{
    return {Attribute::Kind::integer, value, 0, {}, {}, {}, {}};
}
Attribute integers(I values)
{
    return {Attribute::Kind::integers, 0, 0, {}, std::move(values), {}, {}};
}

Result<Tensor, std::string> fold(const std::string& op, const std::vector<Tensor>& inputs,
                                 std::map<std::string, Attribute> attributes = {})
{
    std::vector<const Tensor*> pointers;
    for (const auto& input : inputs)
        pointers.push_back(&input);
    return foldConstantNode({"n", op, {}, {"out"}, std::move(attributes)}, pointers);
}

testing::AssertionResult refusedFor(const Result<Tensor, std::string>& result, const std::string& cause)
{
    if (result)
        return testing::AssertionFailure() << "folded";
    return result.error().find(cause) != std::string::npos ? testing::AssertionSuccess()
                                                           : testing::AssertionFailure() << result.error();
}

TEST(ConstantFolder, SliceClampsIndicesAndWalksBackwards)
{
    const Tensor data = ints({10, 11, 12, 13, 14, 15});
    EXPECT_EQ(fold("Slice", {data, ints({-4}), ints({INT64_MAX}), ints({0}), ints({2})})->ints, (I{12, 14}));
    EXPECT_EQ(fold("Slice", {data, ints({-1}), ints({INT64_MIN}), ints({0}), ints({-1})})->ints,
              (I{15, 14, 13, 12, 11, 10}));
    EXPECT_EQ(fold("Slice", {data, ints({2}), ints({2})})->dims, I{0});
    EXPECT_TRUE(refusedFor(fold("Slice", {data, ints({0}), ints({2}), ints({0}), ints({0})}), "step is zero"));
    // A refusal names the node, so the user can tell which part of a model is beyond the folder.
    EXPECT_TRUE(refusedFor(fold("Slice", {data}, {{"mystery", integer(1)}}), "node 'n' (Slice)"));

    // Opset 1 keeps starts/ends/axes in attributes; a 2-D slice along the second axis.
    auto columns = fold("Slice", {floats({1, 2, 3, 4, 5, 6}, {2, 3})},
                        {{"starts", integers({1})}, {"ends", integers({3})}, {"axes", integers({-1})}});
    ASSERT_TRUE(columns) << columns.error();
    EXPECT_EQ(columns->dims, (I{2, 2}));
    EXPECT_EQ(columns->floats, (std::vector<float>{2, 3, 5, 6}));
}

TEST(ConstantFolder, ShapeGatherUnsqueezeConcatBuildSizes)
{
    const I dims{1, 64, 32, 48};
    const Tensor shape = foldShape({"n", "Shape", {}, {"out"}, {}}, dims).value();
    EXPECT_EQ(shape.ints, dims);
    EXPECT_EQ(foldShape({"n", "Shape", {}, {"out"}, {{"start", integer(-2)}}}, dims)->ints, (I{32, 48}));

    auto width = fold("Gather", {shape, Tensor{ElementType::int64, {}, {}, {-1}}});
    ASSERT_TRUE(width) << width.error();
    EXPECT_TRUE(width->dims.empty()); // a scalar index gives a scalar
    EXPECT_EQ(width->ints, I{48});
    auto vector = fold("Unsqueeze", {*width, ints({0})});
    EXPECT_EQ(vector->dims, I{1});
    EXPECT_EQ(fold("Concat", {shape, *vector}, {{"axis", integer(0)}})->ints, (I{1, 64, 32, 48, 48}));
    EXPECT_TRUE(refusedFor(fold("Gather", {shape, ints({4})}), "out of range"));
}

TEST(ConstantFolder, ArithmeticBroadcastsAndCastsTruncate)
{
    const Tensor sizes = ints({32, 48});
    EXPECT_EQ(fold("Div", {fold("Mul", {sizes, ints({3})}).value(), ints({-4})})->ints, (I{-24, -36}));
    auto grid = fold("Add", {floats({1, 2}, {2, 1}), floats({10, 20, 30}, {1, 3})});
    EXPECT_EQ(grid->dims, (I{2, 3}));
    EXPECT_EQ(grid->floats, (std::vector<float>{11, 21, 31, 12, 22, 32}));
    EXPECT_FALSE(fold("Div", {sizes, ints({0})}));
    EXPECT_FALSE(fold("Add", {sizes, floats({1, 2})})) << "int64 and float operands";

    const Tensor fractions = floats({2.7f, -2.7f});
    EXPECT_EQ(fold("Cast", {fractions}, {{"to", integer(7)}})->ints, (I{2, -2}));
    EXPECT_EQ(fold("Floor", {fractions})->floats, (std::vector<float>{2, -3}));
    EXPECT_EQ(fold("Cast", {sizes}, {{"to", integer(1)}})->floats, (std::vector<float>{32, 48}));
}

TEST(ConstantFolder, ReshapeAndSqueezeKeepTheData)
{
    const Tensor data = ints({1, 2, 3, 4, 5, 6}, {1, 2, 3});
    auto reshaped = fold("Reshape", {data, ints({0, -1})});
    ASSERT_TRUE(reshaped) << reshaped.error();
    EXPECT_EQ(reshaped->dims, (I{1, 6}));
    EXPECT_EQ(reshaped->ints, data.ints);
    EXPECT_FALSE(fold("Reshape", {data, ints({4, -1})}));
    EXPECT_EQ(fold("Squeeze", {data})->dims, (I{2, 3}));
    EXPECT_FALSE(fold("Squeeze", {data, ints({1})}));
}

} // namespace
} // namespace pelorin::inference
