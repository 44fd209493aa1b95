#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/coreml/MLShapedArray.h"
#include "platform/foundation/Float16.h"

namespace platform {

enum class MLTensorScalarType { float16, float32, int32, int8 };

// The scalar type's own name ("Float16", "Float", "Int32", "Int8").
std::string_view description(MLTensorScalarType scalarType) noexcept;

template <class Scalar>
concept TensorScalar = std::is_same_v<Scalar, Float16> || std::is_same_v<Scalar, float> ||
                       std::is_same_v<Scalar, int32_t> || std::is_same_v<Scalar, int8_t>;

// An immutable multi-dimensional array of one scalar type. Copies share the
// scalars. Values are always materialised, so reading them never waits.
class MLTensor {
public:
    // Throws std::invalid_argument when the number of scalars does not match
    // the shape.
    template <TensorScalar Scalar>
    MLTensor(std::vector<Scalar> scalars, std::vector<int64_t> shape)
        : shape_(std::move(shape)),
          storage_(std::make_shared<const Storage>(std::move(scalars))) {
        checkCount(std::get<std::vector<Scalar>>(*storage_).size());
    }

    template <TensorScalar Scalar>
        requires MultiArrayScalar<Scalar>
    explicit MLTensor(const MLShapedArray<Scalar>& shapedArray)
        : MLTensor(shapedArray.scalars(), shapedArray.shape()) {}

    const std::vector<int64_t>& shape() const noexcept { return shape_; }
    MLTensorScalarType scalarType() const noexcept;

    // The scalars in row-major order. Throws std::invalid_argument when the
    // tensor holds another scalar type.
    template <TensorScalar Scalar>
    const std::vector<Scalar>& scalars() const {
        const auto* values = std::get_if<std::vector<Scalar>>(storage_.get());
        if (values == nullptr) {
            throwScalarMismatch();
        }
        return *values;
    }

    template <TensorScalar Scalar>
        requires MultiArrayScalar<Scalar>
    MLShapedArray<Scalar> shapedArray() const {
        return MLShapedArray<Scalar>(scalars<Scalar>(), shape_);
    }

private:
    // Alternatives in the order of MLTensorScalarType.
    using Storage = std::variant<std::vector<Float16>, std::vector<float>, std::vector<int32_t>,
                                 std::vector<int8_t>>;

    void checkCount(std::size_t scalarCount) const;
    [[noreturn]] void throwScalarMismatch() const;

    std::vector<int64_t> shape_;
    std::shared_ptr<const Storage> storage_;
};

}  // namespace platform
