#include "mlcore/foundation/MLTensorExtensions.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "platform/coreml/MLShapedArray.h"

namespace celvan {
namespace {

using platform::Float16;
using platform::MLTensor;
using platform::MLTensorScalarType;

[[noreturn]] void unsupported(const MLTensor& tensor) {
    throw std::invalid_argument("Unsupported scalar type: " +
                                std::string(description(tensor.scalarType())));
}

template <class Scalar>
std::vector<int64_t> truncated(const std::vector<Scalar>& scalars) {
    // 2^63 is exact in float; anything at or beyond it does not fit.
    constexpr float limit = 9223372036854775808.0f;
    std::vector<int64_t> values;
    values.reserve(scalars.size());
    for (Scalar scalar : scalars) {
        const float value = static_cast<float>(scalar);
        if (!std::isfinite(value) || value >= limit || value < -limit) {
            throw std::out_of_range("The tensor value " + std::to_string(value) +
                                    " is not a representable whole number");
        }
        values.push_back(static_cast<int64_t>(value));
    }
    return values;
}

template <class Scalar>
std::vector<float> widened(const std::vector<Scalar>& scalars) {
    return std::vector<float>(scalars.begin(), scalars.end());
}

}  // namespace

std::vector<int64_t> toIntArray(const MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLTensorScalarType::int32: {
            const auto& scalars = tensor.scalars<int32_t>();
            return std::vector<int64_t>(scalars.begin(), scalars.end());
        }
        case MLTensorScalarType::float32: return truncated(tensor.scalars<float>());
        case MLTensorScalarType::float16: return truncated(tensor.scalars<Float16>());
        default: unsupported(tensor);
    }
}

std::vector<float> toFloatArray(const MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLTensorScalarType::float32: return tensor.scalars<float>();
        case MLTensorScalarType::float16: return widened(tensor.scalars<Float16>());
        case MLTensorScalarType::int32: return widened(tensor.scalars<int32_t>());
        default: unsupported(tensor);
    }
}

std::shared_ptr<platform::MLMultiArray> toMLMultiArray(const MLTensor& tensor) {
    switch (tensor.scalarType()) {
        case MLTensorScalarType::float32:
            return std::make_shared<platform::MLMultiArray>(tensor.shapedArray<float>());
        case MLTensorScalarType::float16:
            return std::make_shared<platform::MLMultiArray>(tensor.shapedArray<Float16>());
        case MLTensorScalarType::int32:
            return std::make_shared<platform::MLMultiArray>(tensor.shapedArray<int32_t>());
        default: unsupported(tensor);
    }
}

}  // namespace celvan
