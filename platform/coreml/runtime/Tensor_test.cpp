#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/Shape.h"
#include "platform/coreml/runtime/Tensor.h"

namespace platform::coreml::runtime {
namespace {

TEST(Shape, BroadcastsLikeNumPy) {
    struct Case {
        Shape a, b;
        std::optional<Shape> expected;
    };
    const Case cases[] = {
        {{1, 512, 1, 3}, {512, 1, 1}, Shape{1, 512, 1, 3}},
        {{3}, {2, 1}, Shape{2, 3}},
        {{}, {4, 5}, Shape{4, 5}},
        {{2, 3}, {3, 2}, std::nullopt},
        {{kUnknownDim, 4}, {1, 4}, Shape{kUnknownDim, 4}},
        {{kUnknownDim, 4}, {7, 4}, Shape{7, 4}},
        {{0, 4}, {1, 4}, Shape{0, 4}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(broadcastShapes(c.a, c.b), c.expected) << describe(c.a) << " x " << describe(c.b);
    }
}

TEST(Shape, ElementCountRejectsOverflowAndOpenDimensions) {
    EXPECT_EQ(elementCount({1, 80, 1, 3000}), 240000);
    EXPECT_EQ(elementCount({}), 1);
    EXPECT_EQ(elementCount({kUnknownDim, 3}), std::nullopt);
    EXPECT_EQ(elementCount({int64_t{1} << 40, int64_t{1} << 40}), std::nullopt);
    EXPECT_EQ(describe({1, kUnknownDim, 3}), "[1, ?, 3]");
}

TEST(Tensor, NarrowingToHalfRoundsToNearestAndOverflowsToInfinity) {
    const Tensor source = Tensor::of(DataType::Float32, {10},
                                     std::vector<float>{1.0f, 65504.0f, 65520.0f, -1e5f, 1.00048828125f, 1.0009765625f,
                                                        std::numeric_limits<float>::infinity(), 0.0f, -0.5f, 3.0e-8f});
    const std::vector<float> half = source.castTo(DataType::Float16).toFloats();
    EXPECT_EQ(half[0], 1.0f);
    EXPECT_EQ(half[1], 65504.0f);
    EXPECT_TRUE(std::isinf(half[2]) && half[2] > 0);  // halfway to the next binade rounds up to infinity
    EXPECT_TRUE(std::isinf(half[3]) && half[3] < 0);
    EXPECT_EQ(half[4], 1.0f);  // a tie rounds to even
    EXPECT_EQ(half[5], 1.0009765625f);
    EXPECT_TRUE(std::isinf(half[6]));
    EXPECT_EQ(half[8], -0.5f);
    EXPECT_GT(half[9], 0.0f);  // subnormals survive
}

TEST(Tensor, CastsBetweenIntegersFloatsAndBools) {
    const Tensor source = Tensor::of(DataType::Float32, {5}, std::vector<float>{-2.7f, 0.0f, 3.9f, 1e20f, NAN});
    EXPECT_EQ(source.castTo(DataType::Int32).toInts(), (std::vector<int64_t>{-2, 0, 3, 2147483647, 0}));
    EXPECT_EQ(source.castTo(DataType::Bool).toInts(), (std::vector<int64_t>{1, 0, 1, 1, 1}));
    EXPECT_EQ(source.castTo(DataType::UInt8).toInts(), (std::vector<int64_t>{0, 0, 3, 255, 0}));
}

TEST(Tensor, ReshapedSharesStorageAndViewsAreReadOnly) {
    Tensor owned(DataType::Float32, {2, 3});
    owned.mutableData<float>()[4] = 7.0f;
    const Tensor flat = owned.reshaped({6});
    EXPECT_EQ(flat.data<float>()[4], 7.0f);
    EXPECT_EQ(flat.bytes(), owned.bytes());

    auto keep = std::make_shared<std::vector<float>>(std::vector<float>{1, 2, 3});
    const Tensor view = Tensor::view(DataType::Float32, {3}, reinterpret_cast<const std::byte*>(keep->data()), keep);
    EXPECT_FALSE(view.isWritable());
    EXPECT_EQ(view.toFloats(), (std::vector<float>{1, 2, 3}));

    // A subrange keeps the whole storage alive after its source is gone.
    Tensor row;
    {
        const Tensor halves = Tensor::of(DataType::Float16, {2, 3}, std::vector<float>{1, 2, 3, 4, 5, 6});
        row = halves.subrange(3, {1, 3});
        EXPECT_EQ(row.bytes(), halves.bytes() + 3 * sizeof(Float16));
    }
    EXPECT_FALSE(row.isWritable());
    EXPECT_EQ(row.shape(), (Shape{1, 3}));
    EXPECT_EQ(row.toFloats(), (std::vector<float>{4, 5, 6}));
}

}  // namespace
}  // namespace platform::coreml::runtime
