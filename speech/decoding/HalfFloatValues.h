#pragma once

#include <vector>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// Every element of a half-float array in row-major order, widened, read
// through the array's strides, into `values` (resized to fit, so that a
// caller can keep one buffer for every step). Throws std::invalid_argument
// for another element type.
void widenValues(const platform::MLMultiArray& array, std::vector<float>& values);

// The largest of count values (count at least 1); NaNs are passed over
// unless all are NaN. Eight running maxima, so that the loop does not wait
// on itself at every element.
float largestValue(const float* values, std::size_t count);

// exp(value - peak) of every value, in place, and their sum. Values more
// than 80 below the peak count as exactly that far below: their share stays
// under 1e-34 of the peak's, and results that would underflow take a far
// slower path.
double expSumBelow(float* values, std::size_t count, float peak);

}  // namespace sonoscribe
