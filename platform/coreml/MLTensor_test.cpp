#include "platform/coreml/MLTensor.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace platform {
namespace {

TEST(MLTensor, ReportsTheScalarTypeItHolds) {
    struct Case {
        MLTensor tensor;
        MLTensorScalarType type;
        const char* name;
    };
    const std::vector<Case> cases = {
        {MLTensor(std::vector<Float16>{Float16(1)}, {1}), MLTensorScalarType::float16, "Float16"},
        {MLTensor(std::vector<float>{1, 2}, {2, 1}), MLTensorScalarType::float32, "Float"},
        {MLTensor(std::vector<int32_t>{7}, {}), MLTensorScalarType::int32, "Int32"},
        {MLTensor(std::vector<int8_t>{}, {0, 3}), MLTensorScalarType::int8, "Int8"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.tensor.scalarType(), c.type);
        EXPECT_EQ(description(c.tensor.scalarType()), c.name);
    }
}

TEST(MLTensor, GivesItsScalarsBackOnlyAsTheirOwnType) {
    const MLTensor tensor(MLShapedArray<int32_t>({3, -1, 4, 1, -5, 9}, {2, 3}));
    EXPECT_EQ(tensor.shape(), (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(tensor.scalars<int32_t>(), (std::vector<int32_t>{3, -1, 4, 1, -5, 9}));
    EXPECT_EQ(tensor.shapedArray<int32_t>().shape(), tensor.shape());
    EXPECT_THROW(tensor.scalars<float>(), std::invalid_argument);
    EXPECT_THROW(tensor.shapedArray<Float16>(), std::invalid_argument);

    const MLTensor copy = tensor;
    EXPECT_EQ(&copy.scalars<int32_t>(), &tensor.scalars<int32_t>());
}

TEST(MLTensor, RejectsScalarsThatDoNotFillTheShape) {
    EXPECT_THROW(MLTensor(std::vector<float>{1, 2, 3}, {2, 2}), std::invalid_argument);
    EXPECT_THROW(MLTensor(std::vector<float>{}, {-1}), std::invalid_argument);
    EXPECT_THROW(MLTensor(std::vector<float>{}, {INT64_MAX, INT64_MAX, 0}), std::invalid_argument);
}

}  // namespace
}  // namespace platform
