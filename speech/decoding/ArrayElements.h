#pragma once

#include <cstdint>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// Element linearIndex of a row-major walk over the array's shape, reached
// through its strides and converted from or to its element type. Callers keep
// the index inside the array.
double elementValue(const platform::MLMultiArray& array, int64_t linearIndex);
void setElement(platform::MLMultiArray& array, int64_t linearIndex, double value);

// Seconds on the clock that stamps pipeline and first-token times.
double currentAbsoluteTime();

}  // namespace sonoscribe
