#include "mlcore/foundation/MLTensorExtensions.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "platform/coreml/MLShapedArray.h"

namespace celvan {
namespace {

using platform::Float16;
using platform::MLMultiArrayDataType;
using platform::MLTensor;

TEST(TensorToArrays, ConvertEachSupportedScalarType) {
    struct Case {
        const char* name;
        MLTensor tensor;
        std::vector<float> floats;
        std::vector<int64_t> ints;
    };
    const std::vector<Case> cases = {
        {"half", MLTensor(std::vector<Float16>{Float16(0.5f), Float16(-1.0f), Float16(-2.75f)}, {3}),
         {0.5f, -1.0f, -2.75f}, {0, -1, -2}},
        {"float", MLTensor(std::vector<float>{1e9f, -0.9f, 3.0f}, {1, 3}), {1e9f, -0.9f, 3.0f},
         {1000000000, 0, 3}},
        {"int32", MLTensor(std::vector<int32_t>{50257, -1, 16777217, INT32_MIN}, {2, 2}),
         {50257.0f, -1.0f, 16777216.0f, -2147483648.0f}, {50257, -1, 16777217, INT32_MIN}},
        {"empty", MLTensor(std::vector<int32_t>{}, {0}), {}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(toFloatArray(c.tensor), c.floats) << c.name;
        EXPECT_EQ(toIntArray(c.tensor), c.ints) << c.name;
    }
}

TEST(TensorToArrays, RefuseFloatsThatAreNoWholeNumber) {
    const float inf = std::numeric_limits<float>::infinity();
    for (float value : {std::nanf(""), inf, -inf, 1e19f, -1e19f}) {
        EXPECT_THROW(toIntArray(MLTensor(std::vector<float>{1.0f, value}, {2})), std::out_of_range) << value;
    }
    EXPECT_THROW(toIntArray(MLTensor(std::vector<Float16>{Float16(inf)}, {1})), std::out_of_range);
    EXPECT_EQ(toIntArray(MLTensor(std::vector<float>{-9.2233715e18f}, {1})).front(), -9223371487098961920);
}

TEST(TensorToMLMultiArray, KeepsShapeElementTypeAndRowMajorValues) {
    const auto half = toMLMultiArray(MLTensor(std::vector<Float16>{Float16(1), Float16(2), Float16(3),
                                                                    Float16(4), Float16(5), Float16(6)},
                                              {1, 2, 3}));
    EXPECT_EQ(half->dataType(), MLMultiArrayDataType::float16);
    EXPECT_EQ(half->shape(), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(static_cast<float>(platform::MLShapedArray<Float16>(*half).scalars()[4]), 5.0f);

    const auto floats = toMLMultiArray(MLTensor(std::vector<float>{0.5f, -0.5f}, {2, 1}));
    EXPECT_EQ(floats->dataType(), MLMultiArrayDataType::float32);
    EXPECT_EQ(platform::MLShapedArray<float>(*floats).scalars(), (std::vector<float>{0.5f, -0.5f}));

    const auto ints = toMLMultiArray(MLTensor(std::vector<int32_t>{42}, {}));
    EXPECT_EQ(ints->dataType(), MLMultiArrayDataType::int32);
    EXPECT_EQ(ints->count(), 1);
    EXPECT_EQ(ints->buffer<int32_t>()[0], 42);
}

TEST(TensorConversions, NameTheScalarTypeTheyCannotRead) {
    const MLTensor bytes(std::vector<int8_t>{1, 2}, {2});
    const std::vector<std::function<void()>> conversions = {
        [&] { toIntArray(bytes); }, [&] { toFloatArray(bytes); }, [&] { toMLMultiArray(bytes); }};
    for (const auto& convert : conversions) {
        try {
            convert();
            ADD_FAILURE() << "converted Int8 scalars";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), "Unsupported scalar type: Int8");
        }
    }
}

}  // namespace
}  // namespace celvan
