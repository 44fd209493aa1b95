#include "speech/decoding/ArrayElements.h"

#include <chrono>

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

double currentAbsoluteTime() {
    // Seconds since 1 January 2001, the reference date of the platform's
    // absolute time.
    constexpr double referenceDate = 978307200.0;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration<double>(now).count() - referenceDate;
}

}  // namespace sonoscribe
