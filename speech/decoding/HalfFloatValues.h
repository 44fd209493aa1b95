#pragma once

#include <vector>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// Every element of a half-float array in row-major order, widened, read
// through the array's strides. Throws std::invalid_argument for another
// element type.
std::vector<float> widenedValues(const platform::MLMultiArray& array);

}  // namespace sonoscribe
