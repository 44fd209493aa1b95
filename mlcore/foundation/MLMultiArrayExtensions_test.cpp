#include "mlcore/foundation/MLMultiArrayExtensions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/coreml/MLModelError.h"
#include "platform/coreml/MLShapedArray.h"

namespace celvan {
namespace {

using platform::Float16;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;
using Shape = std::vector<int64_t>;

// Every element in row-major order, widened to double whatever its type.
std::vector<double> elements(const MLMultiArray& array) {
    auto widen = [](const auto& scalars) { return std::vector<double>(scalars.begin(), scalars.end()); };
    switch (array.dataType()) {
        case MLMultiArrayDataType::float16: return widen(platform::MLShapedArray<Float16>(array).scalars());
        case MLMultiArrayDataType::float32: return widen(platform::MLShapedArray<float>(array).scalars());
        case MLMultiArrayDataType::float64: return widen(platform::MLShapedArray<double>(array).scalars());
        case MLMultiArrayDataType::int32: return widen(platform::MLShapedArray<int32_t>(array).scalars());
    }
    return {};
}

TEST(MakeMultiArray, FillsOnlyWithAValueOfExactlyTheElementType) {
    struct Case {
        std::string name;
        std::function<std::shared_ptr<MLMultiArray>()> make;
        Shape shape;
        bool inPixelBuffer;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {"half with a half", [] { return makeMultiArray({1, 4}, MLMultiArrayDataType::float16, Float16(1.5f)); },
         {1, 4}, true, {1.5, 1.5, 1.5, 1.5}},
        {"half with an integer", [] { return makeMultiArray({1, 4}, MLMultiArrayDataType::float16, 3); },
         {1, 4}, true, {0, 0, 0, 0}},
        {"half with a float", [] { return makeMultiArray({2}, MLMultiArrayDataType::float16, 1.5f); },
         {2}, true, {0, 0}},
        {"float with a float", [] { return makeMultiArray({3}, MLMultiArrayDataType::float32, -10000.0f); },
         {3}, false, {-10000, -10000, -10000}},
        {"float with a double", [] { return makeMultiArray({3}, MLMultiArrayDataType::float32, -10000.0); },
         {3}, false, {0, 0, 0}},
        {"double with a double", [] { return makeMultiArray({2, 1}, MLMultiArrayDataType::float64, 2.5); },
         {2, 1}, false, {2.5, 2.5}},
        {"double with a float", [] { return makeMultiArray({2}, MLMultiArrayDataType::float64, 2.5f); },
         {2}, false, {0, 0}},
        {"int32 with an int32", [] { return makeMultiArray({2, 2}, MLMultiArrayDataType::int32, int32_t{7}); },
         {2, 2}, false, {7, 7, 7, 7}},
        {"int32 with a 64-bit integer",
         [] { return makeMultiArray({2}, MLMultiArrayDataType::int32, int64_t{7}); }, {2}, false, {0, 0}},
        {"int32 with text", [] { return makeMultiArray({1}, MLMultiArrayDataType::int32, std::string("7")); },
         {1}, false, {0}},
        {"scalar float", [] { return makeMultiArray({}, MLMultiArrayDataType::float32, 4.0f); }, {}, false, {4}},
        {"empty float", [] { return makeMultiArray({0, 3}, MLMultiArrayDataType::float32, 4.0f); },
         {0, 3}, false, {}},
    };
    for (const Case& c : cases) {
        const auto array = c.make();
        EXPECT_EQ(array->shape(), c.shape) << c.name;
        EXPECT_EQ(array->pixelBuffer() != nullptr, c.inPixelBuffer) << c.name;
        EXPECT_EQ(elements(*array), c.values) << c.name;
    }
}

TEST(MakeMultiArray, HalfArraysLiveInAPixelBufferOneRowPerLastDimension) {
    const auto array = makeMultiArray({2, 3, 5}, MLMultiArrayDataType::float16, Float16(-1.0f));
    ASSERT_NE(array->pixelBuffer(), nullptr);
    EXPECT_EQ(array->pixelBuffer()->width(), 5u);
    EXPECT_EQ(array->pixelBuffer()->height(), 6u);
    EXPECT_EQ(array->dataPointer(), array->pixelBuffer()->baseAddress());
    EXPECT_EQ(elements(*array), std::vector<double>(30, -1.0));
}

TEST(MakeMultiArray, ReportsArraysThatCannotBeMade) {
    for (const Shape& shape : {Shape{}, Shape{1, 0}, Shape{0, 4}, Shape{-2, 4}, Shape{4, -2}}) {
        try {
            makeMultiArray(shape, MLMultiArrayDataType::float16, Float16(0));
            ADD_FAILURE() << "made a half array of rank " << shape.size();
        } catch (const MLMultiArrayCreationError& error) {
            EXPECT_EQ(error.kind(), MLMultiArrayCreationError::Kind::pixelBufferFailed);
            EXPECT_STREQ(error.what(), "Failed to create IOSurface-backed pixel buffer for MLMultiArray");
        }
    }
    EXPECT_THROW(makeMultiArray({3, -1}, MLMultiArrayDataType::float32, 0.0f), platform::MLModelError);
}

TEST(PixelBuffer, IsSizedFromTheShapeOrRefused) {
    struct Case {
        Shape shape;
        std::size_t width;
        std::size_t height;
    };
    for (const Case& c : {Case{{2, 3, 5}, 5, 6}, Case{{7}, 7, 1}, Case{{1, 1, 51865}, 51865, 1},
                          Case{{}, 0, 0}, Case{{2, -1}, 0, 0}, Case{{-1, 2}, 0, 0},
                          Case{{INT64_MAX, INT64_MAX, 1}, 0, 0}, Case{{3, 0}, 0, 0}}) {
        const auto buffer = pixelBuffer(c.shape);
        if (c.width == 0) {
            EXPECT_EQ(buffer, nullptr) << "rank " << c.shape.size();
            continue;
        }
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(buffer->width(), c.width);
        EXPECT_EQ(buffer->height(), c.height);
        EXPECT_EQ(buffer->pixelFormatType(), 0x4C303068u);
    }
}

TEST(MultiArrayFrom, HoldsTheValuesInTheLastOfDimsDimensions) {
    struct Case {
        std::vector<int64_t> values;
        int64_t dims;
        Shape shape;
    };
    for (const Case& c : {Case{{7, 8, 9}, 3, {1, 1, 3}}, Case{{50257}, 1, {1}}, Case{{}, 2, {1, 0}},
                          Case{{INT32_MIN, INT32_MAX}, 2, {1, 2}}}) {
        const auto array = multiArrayFrom(c.values, c.dims);
        EXPECT_EQ(array->dataType(), MLMultiArrayDataType::int32);
        EXPECT_EQ(array->shape(), c.shape);
        EXPECT_EQ(elements(*array), std::vector<double>(c.values.begin(), c.values.end()));
    }
    EXPECT_THROW(multiArrayFrom({1}, 0), std::invalid_argument);
    EXPECT_THROW(multiArrayFrom({1}, -3), std::invalid_argument);
    EXPECT_THROW(multiArrayFrom({1, int64_t{INT32_MAX} + 1}, 1), std::out_of_range);
    EXPECT_THROW(multiArrayFrom({int64_t{INT32_MIN} - 1}, 1), std::out_of_range);
}

TEST(LinearOffset, SumsOverTheShorterOfIndexAndStrides) {
    const MLMultiArray array(Shape{1, 1, 5}, MLMultiArrayDataType::float32);
    ASSERT_EQ(array.strides(), (Shape{5, 5, 1}));
    struct Case {
        Shape index;
        std::optional<Shape> strides;
        int64_t offset;
    };
    for (const Case& c : {Case{{0, 0, 3}, std::nullopt, 3}, Case{{2, 3, 4}, Shape{10, 1}, 23},
                          Case{{}, std::nullopt, 0}, Case{{1, 2}, Shape{}, 0},
                          Case{{0, 1}, std::nullopt, 5}, Case{{0, 0, 9, 9}, std::nullopt, 9}}) {
        EXPECT_EQ(linearOffset(array, c.index, c.strides), c.offset);
    }
}

TEST(Fill, WritesOnlyTheGivenElementsThroughTheStrides) {
    const float inf = std::numeric_limits<float>::infinity();
    auto logits = makeMultiArray({1, 1, 5}, MLMultiArrayDataType::float16, Float16(0.25f));
    fill(*logits, {{0, 0, 1}, {0, 0, 4}}, Float16(-inf));
    EXPECT_EQ(elements(*logits), (std::vector<double>{0.25, -inf, 0.25, 0.25, -inf}));

    auto mask = makeMultiArray({2, 3}, MLMultiArrayDataType::float32, 0.0f);
    fill(*mask, {{1, 2}, {0}, {}}, 9.0f);
    EXPECT_EQ(elements(*mask), (std::vector<double>{9, 0, 0, 0, 0, 9}));

    fill(*mask, {}, 1.0f);
    EXPECT_EQ(elements(*mask), (std::vector<double>{9, 0, 0, 0, 0, 9}));
}

TEST(Fill, RefusesForeignValuesAndIndexesOutsideTheShapeBeforeWriting) {
    auto array = makeMultiArray({2, 3}, MLMultiArrayDataType::float32, 0.0f);
    for (const std::vector<Shape>& indexes :
         {std::vector<Shape>{{0, 0}, {2, 0}}, {{0, 0}, {0, 3}}, {{0, 0}, {-1, 0}}, {{1, 1}, {0, -1}}}) {
        EXPECT_THROW(fill(*array, indexes, 5.0f), std::out_of_range);
    }
    EXPECT_THROW(fill(*array, {{0, 0}}, Float16(5)), std::invalid_argument);
    EXPECT_THROW(fill(*array, {{0, 0}}, int32_t{5}), std::invalid_argument);
    EXPECT_EQ(elements(*array), std::vector<double>(6, 0.0));

    auto empty = makeMultiArray({0}, MLMultiArrayDataType::float32, 0.0f);
    EXPECT_THROW(fill(*empty, {{}}, 1.0f), std::out_of_range);
}

TEST(FillLastDimension, WritesTheRangeAndNothingElse) {
    struct Case {
        int64_t lower;
        int64_t upper;
        std::vector<double> values;
    };
    for (const Case& c : {Case{2, 4, {0, 0, 7, 7, 0}}, Case{0, 5, {7, 7, 7, 7, 7}}, Case{3, 3, {0, 0, 0, 0, 0}},
                          Case{4, 5, {0, 0, 0, 0, 7}}}) {
        auto logits = makeMultiArray({1, 1, 5}, MLMultiArrayDataType::float16, Float16(0));
        fillLastDimension(*logits, c.lower, c.upper, Float16(7));
        EXPECT_EQ(elements(*logits), c.values) << c.lower << "..<" << c.upper;
    }
}

TEST(FillLastDimension, RefusesOtherShapesTypesAndRanges) {
    auto logits = makeMultiArray({1, 1, 5}, MLMultiArrayDataType::float16, Float16(0));
    for (auto [lower, upper] : {std::pair<int64_t, int64_t>{-1, 2}, {4, 6}, {3, 2}, {6, 6}}) {
        EXPECT_THROW(fillLastDimension(*logits, lower, upper, Float16(1)), std::out_of_range);
    }
    EXPECT_EQ(elements(*logits), std::vector<double>(5, 0.0));
    for (const Shape& shape : {Shape{1, 2, 5}, Shape{2, 1, 5}, Shape{1, 5}, Shape{1, 1, 1, 5}}) {
        auto other = makeMultiArray(shape, MLMultiArrayDataType::float16, Float16(0));
        EXPECT_THROW(fillLastDimension(*other, 0, 1, Float16(1)), std::invalid_argument);
    }
    auto floats = makeMultiArray({1, 1, 5}, MLMultiArrayDataType::float32, 0.0f);
    EXPECT_THROW(fillLastDimension(*floats, 0, 1, Float16(1)), std::invalid_argument);
}

}  // namespace
}  // namespace celvan
