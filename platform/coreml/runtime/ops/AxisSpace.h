#pragma once

#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Shape.h"

namespace platform::coreml::runtime {

// Splits a shape's elements into the positions along a set of axes and the
// positions across the remaining ones, as flat offsets. Reductions and
// normalisations over any axes then read x[outer[o] + inner[i]].
struct AxisSpace {
    std::vector<int64_t> outer;
    std::vector<int64_t> inner;

    AxisSpace(const Shape& shape, const std::vector<int64_t>& axes);
};

}  // namespace platform::coreml::runtime
