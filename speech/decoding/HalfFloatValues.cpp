#include "speech/decoding/HalfFloatValues.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/coreml/MLShapedArray.h"
#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/ops/VectorMath.h"

namespace sonoscribe {

void widenValues(const platform::MLMultiArray& array, std::vector<float>& values) {
    const auto storage = array.buffer<platform::Float16>();
    values.resize(static_cast<std::size_t>(array.count()));
    bool contiguous = true;
    int64_t expected = 1;
    for (std::size_t d = array.shape().size(); d-- > 0;) {
        if (array.shape()[d] != 1 && array.strides()[d] != expected) contiguous = false;
        expected *= array.shape()[d];
    }
    if (contiguous) {
        platform::coreml::runtime::widen(storage.data(), values.data(), values.size());
        return;
    }
    const platform::MLShapedArray<platform::Float16> copy(array);
    platform::coreml::runtime::widen(copy.scalars().data(), values.data(), values.size());
}

float largestValue(const float* values, std::size_t count) {
    constexpr std::size_t lanes = 8;
    constexpr float lowest = -std::numeric_limits<float>::infinity();
    // Seeded below every number, so that a NaN, which no comparison lets in,
    // never takes a lane.
    float lane[lanes];
    std::fill(lane, lane + lanes, lowest);
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        for (std::size_t k = 0; k < lanes; ++k) lane[k] = values[i + k] > lane[k] ? values[i + k] : lane[k];
    }
    for (; i < count; ++i) lane[0] = values[i] > lane[0] ? values[i] : lane[0];
    const float largest = *std::max_element(lane, lane + lanes);
    if (largest > lowest || std::any_of(values, values + count, [](float value) { return !std::isnan(value); })) {
        return largest;
    }
    return std::numeric_limits<float>::quiet_NaN();
}

double expSumBelow(float* values, std::size_t count, float peak) {
    const float floor = peak - 80.0f;
    for (std::size_t i = 0; i < count; ++i) values[i] = values[i] < floor ? floor : values[i];
    return platform::coreml::runtime::expShiftedSum(values, static_cast<int64_t>(count), peak);
}

}  // namespace sonoscribe
