#include "platform/coreml/MLMultiArray.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "platform/coreml/MLModelError.h"

namespace platform {
namespace {

constexpr std::size_t kAlignment = 64;

std::string shapeText(const std::vector<int64_t>& shape) {
    std::string text = "[";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        text += (i == 0 ? "" : ", ") + std::to_string(shape[i]);
    }
    return text + "]";
}

// The number of elements of a shape, or an error when a dimension is
// negative or the bytes would not fit in memory.
int64_t elementCount(const std::vector<int64_t>& shape, std::size_t elementSize) {
    const auto limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / elementSize;
    uint64_t count = 1;
    for (int64_t dimension : shape) {
        if (dimension < 0) {
            throw MLModelError(MLModelError::Kind::generic,
                               "Invalid multi-array shape " + shapeText(shape) +
                                   ": dimensions must not be negative");
        }
        if (dimension != 0 && count > limit / static_cast<uint64_t>(dimension)) {
            throw MLModelError(MLModelError::Kind::generic,
                               "Invalid multi-array shape " + shapeText(shape) + ": too large");
        }
        count *= static_cast<uint64_t>(dimension);
    }
    return static_cast<int64_t>(count);
}

std::vector<int64_t> rowMajorStrides(const std::vector<int64_t>& shape, int64_t innerRowStride) {
    std::vector<int64_t> strides(shape.size(), 1);
    if (shape.size() >= 2) {
        strides[shape.size() - 2] = innerRowStride;
        for (std::size_t k = shape.size() - 2; k-- > 0;) {
            strides[k] = strides[k + 1] * shape[k + 1];
        }
    }
    return strides;
}

}  // namespace

MLMultiArray::MLMultiArray(std::vector<int64_t> shape, MLMultiArrayDataType dataType)
    : shape_(std::move(shape)), dataType_(dataType) {
    const std::size_t size = elementSize(dataType_);
    count_ = elementCount(shape_, size);
    strides_ = rowMajorStrides(shape_, shape_.empty() ? 1 : shape_.back());
    storageCount_ = static_cast<std::size_t>(count_);
    const std::size_t bytes = (storageCount_ * size + kAlignment - 1) / kAlignment * kAlignment;
    ownStorage_ = std::shared_ptr<void>(std::aligned_alloc(kAlignment, std::max(bytes, kAlignment)),
                                        std::free);
    if (!ownStorage_) {
        throw MLModelError(MLModelError::Kind::generic,
                           "Cannot allocate a multi-array of shape " + shapeText(shape_));
    }
    data_ = ownStorage_.get();
    std::memset(data_, 0, std::max(bytes, kAlignment));
}

MLMultiArray::MLMultiArray(std::shared_ptr<CVPixelBuffer> pixelBuffer, std::vector<int64_t> shape)
    : shape_(std::move(shape)),
      dataType_(MLMultiArrayDataType::float16),
      pixelBuffer_(std::move(pixelBuffer)) {
    if (!pixelBuffer_ ||
        pixelBuffer_->pixelFormatType() != kCVPixelFormatType_OneComponent16Half) {
        throw MLModelError(MLModelError::Kind::generic,
                           "A multi-array needs a pixel buffer of one-component half floats");
    }
    count_ = elementCount(shape_, elementSize(dataType_));
    const auto width = static_cast<uint64_t>(shape_.empty() ? 0 : shape_.back());
    const auto height = shape_.empty() ? 0 : static_cast<uint64_t>(count_) / std::max<uint64_t>(width, 1);
    if (width != pixelBuffer_->width() || height != pixelBuffer_->height()) {
        throw MLModelError(MLModelError::Kind::generic,
                           "Multi-array shape " + shapeText(shape_) + " does not match a pixel buffer of " +
                               std::to_string(pixelBuffer_->width()) + " x " +
                               std::to_string(pixelBuffer_->height()));
    }
    const auto rowStride = static_cast<int64_t>(pixelBuffer_->bytesPerRow() / sizeof(Float16));
    strides_ = rowMajorStrides(shape_, rowStride);
    storageCount_ = static_cast<std::size_t>(rowStride) * pixelBuffer_->height();
    data_ = pixelBuffer_->baseAddress();
}

void MLMultiArray::checkScalar(MLMultiArrayDataType scalarType) const {
    if (scalarType != dataType_) {
        throw std::invalid_argument("Cannot access a multi-array of " +
                                    std::string(description(dataType_)) + " elements as " +
                                    std::string(description(scalarType)));
    }
}

}  // namespace platform
