#include "mlcore/foundation/MLMultiArrayExtensions.h"

#include <algorithm>
#include <limits>
#include <string>

namespace celvan {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

std::shared_ptr<platform::CVPixelBuffer> pixelBuffer(const std::vector<int64_t>& shape) {
    if (shape.empty()) {
        return nullptr;
    }
    uint64_t height = 1;
    for (std::size_t k = 0; k + 1 < shape.size(); ++k) {
        if (shape[k] < 0 || __builtin_mul_overflow(height, static_cast<uint64_t>(shape[k]), &height)) {
            return nullptr;
        }
    }
    if (shape.back() < 0) {
        return nullptr;
    }
    return platform::CVPixelBuffer::create(static_cast<std::size_t>(shape.back()),
                                           static_cast<std::size_t>(height),
                                           platform::kCVPixelFormatType_OneComponent16Half);
}

namespace detail {

std::shared_ptr<MLMultiArray> makeZeroedMultiArray(const std::vector<int64_t>& shape,
                                                   MLMultiArrayDataType dataType) {
    if (dataType != MLMultiArrayDataType::float16) {
        return std::make_shared<MLMultiArray>(shape, dataType);
    }
    auto buffer = pixelBuffer(shape);
    if (!buffer) {
        throw MLMultiArrayCreationError::pixelBufferFailed();
    }
    return std::make_shared<MLMultiArray>(std::move(buffer), shape);
}

// Fills row by row through the strides, so a layout with padded rows is
// covered as well as a contiguous one.
template <platform::MultiArrayScalar Scalar>
void fillAllElements(MLMultiArray& array, Scalar value) {
    const auto storage = array.buffer<Scalar>();
    const std::vector<int64_t>& shape = array.shape();
    const std::vector<int64_t>& strides = array.strides();
    if (array.count() == 0) {
        return;
    }
    if (shape.empty()) {
        storage[0] = value;
        return;
    }
    const std::size_t rank = shape.size();
    const int64_t rowLength = shape[rank - 1];
    const int64_t step = strides[rank - 1];
    std::vector<int64_t> index(rank - 1, 0);
    while (true) {
        const int64_t start = offset(index, strides);
        if (step == 1) {
            std::fill_n(storage.begin() + start, rowLength, value);
        } else {
            for (int64_t i = 0; i < rowLength; ++i) {
                storage[static_cast<std::size_t>(start + i * step)] = value;
            }
        }
        std::size_t k = rank - 1;
        while (k > 0 && ++index[k - 1] == shape[k - 1]) {
            index[k - 1] = 0;
            --k;
        }
        if (k == 0) {
            return;
        }
    }
}

template void fillAllElements(MLMultiArray&, platform::Float16);
template void fillAllElements(MLMultiArray&, float);
template void fillAllElements(MLMultiArray&, double);
template void fillAllElements(MLMultiArray&, int32_t);

int64_t offset(const std::vector<int64_t>& index, const std::vector<int64_t>& strides) noexcept {
    int64_t sum = 0;
    const std::size_t rank = std::min(index.size(), strides.size());
    for (std::size_t k = 0; k < rank; ++k) {
        sum += index[k] * strides[k];
    }
    return sum;
}

void checkIndexes(const MLMultiArray& array, const std::vector<std::vector<int64_t>>& indexes) {
    const std::vector<int64_t>& shape = array.shape();
    if (array.count() == 0 && !indexes.empty()) {
        throw std::out_of_range("Cannot write into an empty multi-array");
    }
    for (const std::vector<int64_t>& index : indexes) {
        const std::size_t rank = std::min(index.size(), shape.size());
        for (std::size_t k = 0; k < rank; ++k) {
            if (index[k] < 0 || index[k] >= shape[k]) {
                throw std::out_of_range("Index " + std::to_string(index[k]) + " lies outside dimension " +
                                        std::to_string(k) + " of size " + std::to_string(shape[k]));
            }
        }
    }
}

}  // namespace detail

std::shared_ptr<MLMultiArray> multiArrayFrom(const std::vector<int64_t>& values, int64_t dims) {
    if (dims < 1) {
        throw std::invalid_argument("A multi-array needs at least one dimension, not " +
                                    std::to_string(dims));
    }
    for (int64_t value : values) {
        if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
            throw std::out_of_range("The value " + std::to_string(value) + " does not fit in 32 bits");
        }
    }
    std::vector<int64_t> shape(static_cast<std::size_t>(dims), 1);
    shape.back() = static_cast<int64_t>(values.size());
    auto array = std::make_shared<MLMultiArray>(std::move(shape), MLMultiArrayDataType::int32);
    std::transform(values.begin(), values.end(), array->buffer<int32_t>().begin(),
                   [](int64_t value) { return static_cast<int32_t>(value); });
    return array;
}

int64_t linearOffset(const MLMultiArray& array, const std::vector<int64_t>& index,
                     const std::optional<std::vector<int64_t>>& strides) {
    return detail::offset(index, strides ? *strides : array.strides());
}

void fillLastDimension(MLMultiArray& array, int64_t lowerBound, int64_t upperBound,
                       platform::Float16 value) {
    const std::vector<int64_t>& shape = array.shape();
    if (shape.size() != 3 || shape[0] != 1 || shape[1] != 1) {
        throw std::invalid_argument("Filling the last dimension needs an array of shape [1, 1, n]");
    }
    if (lowerBound < 0 || lowerBound > upperBound || upperBound > shape[2]) {
        throw std::out_of_range("The range " + std::to_string(lowerBound) + "..<" +
                                std::to_string(upperBound) + " lies outside 0..<" +
                                std::to_string(shape[2]));
    }
    const auto storage = array.buffer<platform::Float16>();
    const int64_t step = array.strides()[2];
    for (int64_t i = lowerBound; i < upperBound; ++i) {
        storage[static_cast<std::size_t>(i * step)] = value;
    }
}

}  // namespace celvan
