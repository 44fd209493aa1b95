#include "platform/coreml/MLTensor.h"

#include <string>

namespace platform {

std::string_view description(MLTensorScalarType scalarType) noexcept {
    switch (scalarType) {
        case MLTensorScalarType::float16: return "Float16";
        case MLTensorScalarType::float32: return "Float";
        case MLTensorScalarType::int32: return "Int32";
        case MLTensorScalarType::int8: return "Int8";
    }
    return "Unknown";
}

MLTensorScalarType MLTensor::scalarType() const noexcept {
    return static_cast<MLTensorScalarType>(storage_->index());
}

void MLTensor::checkCount(std::size_t scalarCount) const {
    uint64_t count = 1;
    for (int64_t dimension : shape_) {
        if (dimension < 0 || __builtin_mul_overflow(count, static_cast<uint64_t>(dimension), &count)) {
            throw std::invalid_argument("Invalid tensor shape");
        }
    }
    if (count != scalarCount) {
        throw std::invalid_argument("A tensor of " + std::to_string(count) + " elements cannot hold " +
                                    std::to_string(scalarCount) + " scalars");
    }
}

void MLTensor::throwScalarMismatch() const {
    throw std::invalid_argument("The tensor holds " + std::string(description(scalarType())) +
                                " scalars");
}

}  // namespace platform
