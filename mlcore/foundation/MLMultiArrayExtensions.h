#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/coreml/CVPixelBuffer.h"
#include "platform/coreml/MLMultiArray.h"
#include "platform/foundation/Float16.h"

namespace celvan {

class MLMultiArrayCreationError : public std::runtime_error {
public:
    enum class Kind { pixelBufferFailed };

    static MLMultiArrayCreationError pixelBufferFailed() {
        return MLMultiArrayCreationError(Kind::pixelBufferFailed);
    }

    Kind kind() const noexcept { return kind_; }

private:
    explicit MLMultiArrayCreationError(Kind kind)
        : std::runtime_error("Failed to create IOSurface-backed pixel buffer for MLMultiArray"),
          kind_(kind) {}

    Kind kind_;
};

// A half-float pixel buffer that can hold an array of this shape: the last
// dimension across, all others down. Empty for an empty shape or one that
// no buffer can hold.
std::shared_ptr<platform::CVPixelBuffer> pixelBuffer(const std::vector<int64_t>& shape);

namespace detail {

// A new array with every element zero; half-float arrays live in a pixel
// buffer. Throws MLMultiArrayCreationError or the array's own error.
std::shared_ptr<platform::MLMultiArray> makeZeroedMultiArray(const std::vector<int64_t>& shape,
                                                             platform::MLMultiArrayDataType dataType);

template <platform::MultiArrayScalar Scalar>
void fillAllElements(platform::MLMultiArray& array, Scalar value);

}  // namespace detail

// A new array of the shape with every element set to initialValue when that
// is exactly of the element type (Float16, float, double or int32_t for the
// four data types); with a value of any other type every element is zero.
template <class Value>
std::shared_ptr<platform::MLMultiArray> makeMultiArray(const std::vector<int64_t>& shape,
                                                       platform::MLMultiArrayDataType dataType,
                                                       const Value& initialValue) {
    auto array = detail::makeZeroedMultiArray(shape, dataType);
    if constexpr (platform::MultiArrayScalar<Value>) {
        if (platform::MLShapedArrayScalar<Value>::multiArrayDataType == dataType) {
            detail::fillAllElements(*array, initialValue);
        }
    }
    return array;
}

// An int32 array of shape [1, ..., 1, values.size()] with dims dimensions,
// holding the values in order. Throws std::invalid_argument when dims is
// below 1 and std::out_of_range when a value does not fit in 32 bits.
std::shared_ptr<platform::MLMultiArray> multiArrayFrom(const std::vector<int64_t>& values,
                                                       int64_t dims);

// The sum of index[k] * strides[k] over the dimensions both lists have; the
// array's own strides when none are given. The index is not checked against
// the shape.
int64_t linearOffset(const platform::MLMultiArray& array, const std::vector<int64_t>& index,
                     const std::optional<std::vector<int64_t>>& strides = std::nullopt);

namespace detail {

int64_t offset(const std::vector<int64_t>& index, const std::vector<int64_t>& strides) noexcept;

// Throws std::out_of_range unless every index lies inside the array's shape.
void checkIndexes(const platform::MLMultiArray& array,
                  const std::vector<std::vector<int64_t>>& indexes);

}  // namespace detail

// Writes value at each index, in place. Value must be the array's element
// type (std::invalid_argument otherwise), and every index must lie inside
// the shape (std::out_of_range otherwise, before anything is written).
template <platform::MultiArrayScalar Value>
void fill(platform::MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes,
          Value value) {
    const auto storage = array.buffer<Value>();
    detail::checkIndexes(array, indexes);
    const std::vector<int64_t>& strides = array.strides();
    for (const std::vector<int64_t>& index : indexes) {
        storage[static_cast<std::size_t>(detail::offset(index, strides))] = value;
    }
}

// Writes value over positions [lowerBound, upperBound) of the last dimension
// of a half-float array of shape [1, 1, n], in place. Throws
// std::invalid_argument for another shape or element type, and
// std::out_of_range for a range outside 0..n.
void fillLastDimension(platform::MLMultiArray& array, int64_t lowerBound, int64_t upperBound,
                       platform::Float16 value);

}  // namespace celvan
