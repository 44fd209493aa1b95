#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "platform/coreml/CVPixelBuffer.h"
#include "platform/coreml/MLMultiArrayDataType.h"

namespace platform {

template <MultiArrayScalar Scalar>
class MLShapedArray;

// A multi-dimensional array of numbers, addressed through its strides (in
// elements). Shared by reference between feature values and providers, so it
// is neither copied nor moved; hold it in a shared_ptr. Reads and writes are
// not synchronised: one writer at a time, as with any plain buffer.
class MLMultiArray {
public:
    // A new contiguous (row-major) array, every element zero. An empty shape
    // is a scalar of one element. Throws MLModelError for a negative
    // dimension or a size that cannot be addressed.
    MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType);

    // An array of half floats over the memory of a pixel buffer: the last
    // dimension runs along a row, all others together down the rows. Throws
    // MLModelError when the buffer's format or size does not fit the shape.
    MLMultiArray(std::shared_ptr<CVPixelBuffer> pixelBuffer, std::vector<int64_t> shape);

    // A contiguous copy of a shaped array's scalars.
    template <MultiArrayScalar Scalar>
    explicit MLMultiArray(const MLShapedArray<Scalar>& shapedArray);

    MLMultiArray(const MLMultiArray&) = delete;
    MLMultiArray& operator=(const MLMultiArray&) = delete;

    const std::vector<int64_t>& shape() const noexcept { return shape_; }
    const std::vector<int64_t>& strides() const noexcept { return strides_; }
    MLMultiArrayDataType dataType() const noexcept { return dataType_; }
    int64_t count() const noexcept { return count_; }

    void* dataPointer() noexcept { return data_; }
    const void* dataPointer() const noexcept { return data_; }

    // The element storage that the strides address, typed. Throws
    // std::invalid_argument when Scalar is not the array's element type.
    template <MultiArrayScalar Scalar>
    std::span<Scalar> buffer() {
        checkScalar(MLShapedArrayScalar<Scalar>::multiArrayDataType);
        return {static_cast<Scalar*>(data_), storageCount_};
    }
    template <MultiArrayScalar Scalar>
    std::span<const Scalar> buffer() const {
        checkScalar(MLShapedArrayScalar<Scalar>::multiArrayDataType);
        return {static_cast<const Scalar*>(data_), storageCount_};
    }

    // The pixel buffer the array lives in, when it was made over one.
    const std::shared_ptr<CVPixelBuffer>& pixelBuffer() const noexcept { return pixelBuffer_; }

private:
    void checkScalar(MLMultiArrayDataType scalarType) const;

    std::vector<int64_t> shape_;
    std::vector<int64_t> strides_;
    MLMultiArrayDataType dataType_;
    int64_t count_ = 0;
    std::size_t storageCount_ = 0;
    std::shared_ptr<CVPixelBuffer> pixelBuffer_;
    std::shared_ptr<void> ownStorage_;
    void* data_ = nullptr;
};

template <MultiArrayScalar Scalar>
MLMultiArray::MLMultiArray(const MLShapedArray<Scalar>& shapedArray)
    : MLMultiArray(shapedArray.shape(), MLShapedArrayScalar<Scalar>::multiArrayDataType) {
    std::memcpy(data_, shapedArray.scalars().data(), shapedArray.scalars().size() * sizeof(Scalar));
}

}  // namespace platform
