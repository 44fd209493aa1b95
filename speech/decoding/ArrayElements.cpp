#include "speech/decoding/ArrayElements.h"

#include <algorithm>

namespace sonoscribe {
namespace {

std::size_t elementOffset(const platform::MLMultiArray& array, int64_t linearIndex) {
    int64_t offset = 0;
    int64_t remaining = linearIndex;
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    for (std::size_t dimension = shape.size(); dimension-- > 0;) {
        offset += (remaining % shape[dimension]) * strides[dimension];
        remaining /= shape[dimension];
    }
    return static_cast<std::size_t>(offset);
}

}  // namespace

double elementValue(const platform::MLMultiArray& array, int64_t linearIndex) {
    const std::size_t offset = elementOffset(array, linearIndex);
    switch (array.dataType()) {
    case platform::MLMultiArrayDataType::float16: return static_cast<double>(array.buffer<platform::Float16>()[offset]);
    case platform::MLMultiArrayDataType::float32: return array.buffer<float>()[offset];
    case platform::MLMultiArrayDataType::float64: return array.buffer<double>()[offset];
    case platform::MLMultiArrayDataType::int32: return array.buffer<int32_t>()[offset];
    }
    return 0;
}

void setElement(platform::MLMultiArray& array, int64_t linearIndex, double value) {
    const std::size_t offset = elementOffset(array, linearIndex);
    switch (array.dataType()) {
    case platform::MLMultiArrayDataType::float16:
        array.buffer<platform::Float16>()[offset] = static_cast<platform::Float16>(value);
        break;
    case platform::MLMultiArrayDataType::float32: array.buffer<float>()[offset] = static_cast<float>(value); break;
    case platform::MLMultiArrayDataType::float64: array.buffer<double>()[offset] = value; break;
    case platform::MLMultiArrayDataType::int32: array.buffer<int32_t>()[offset] = static_cast<int32_t>(value); break;
    }
}

void copyRows(const platform::MLMultiArray& source, int64_t firstRow, platform::MLMultiArray& target, int64_t rows) {
    const int64_t columns = target.shape()[1];
    const bool half = source.dataType() == platform::MLMultiArrayDataType::float16 &&
                      target.dataType() == platform::MLMultiArrayDataType::float16;
    if (!half) {
        for (int64_t r = 0; r < rows; ++r) {
            for (int64_t c = 0; c < columns; ++c) {
                setElement(target, r * columns + c, elementValue(source, (firstRow + r) * columns + c));
            }
        }
        return;
    }
    const auto from = source.buffer<platform::Float16>();
    const auto to = target.buffer<platform::Float16>();
    const auto& fromStrides = source.strides();
    const auto& toStrides = target.strides();
    for (int64_t r = 0; r < rows; ++r) {
        const int64_t fromRow = (firstRow + r) * fromStrides[0];
        const int64_t toRow = r * toStrides[0];
        if (fromStrides[1] == 1 && toStrides[1] == 1) {
            std::copy_n(from.data() + fromRow, columns, to.data() + toRow);
            continue;
        }
        for (int64_t c = 0; c < columns; ++c) {
            to[static_cast<std::size_t>(toRow + c * toStrides[1])] = from[static_cast<std::size_t>(fromRow + c * fromStrides[1])];
        }
    }
}

}  // namespace sonoscribe
