#pragma once

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "platform/coreml/runtime/Tensor.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/ReferenceOps.h"

namespace testsupport {

inline Tensor toTensor(const reference::Array& array, DataType type = DataType::Float32) {
    return Tensor::of(type, array.shape, array.values);
}

inline reference::Array toArray(const Tensor& tensor) {
    return reference::Array{tensor.shape(), tensor.toFloats()};
}

// Same shape and every element within `tolerance` (absolute, plus relative to
// the larger magnitude); infinities must match exactly and no NaN may appear.
inline void expectClose(const reference::Array& expected, const Tensor& actual, float tolerance,
                        const std::string& label = {}) {
    ASSERT_EQ(expected.shape, actual.shape()) << label;
    const std::vector<float> values = actual.toFloats();
    int reported = 0;
    for (size_t i = 0; i < values.size() && reported < 5; ++i) {
        const float e = expected.values[i], a = values[i];
        const bool ok = std::isinf(e) ? e == a : std::fabs(e - a) <= tolerance * (1 + std::fabs(e)) && !std::isnan(a);
        if (!ok) {
            ADD_FAILURE() << label << " element " << i << ": expected " << e << ", got " << a;
            ++reported;
        }
    }
}

}  // namespace testsupport
