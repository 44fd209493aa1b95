#include "speech/decoding/HalfFloatValues.h"

#include "platform/coreml/MLShapedArray.h"

namespace sonoscribe {

std::vector<float> widenedValues(const platform::MLMultiArray& array) {
    const auto storage = array.buffer<platform::Float16>();
    std::vector<float> values(static_cast<std::size_t>(array.count()));
    bool contiguous = true;
    int64_t expected = 1;
    for (std::size_t d = array.shape().size(); d-- > 0;) {
        if (array.shape()[d] != 1 && array.strides()[d] != expected) contiguous = false;
        expected *= array.shape()[d];
    }
    if (contiguous) {
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(storage[i]);
        return values;
    }
    const platform::MLShapedArray<platform::Float16> copy(array);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(copy.scalars()[i]);
    return values;
}

}  // namespace sonoscribe
