#pragma once

#include <cstdint>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// Element linearIndex of a row-major walk over the array's shape, reached
// through its strides and converted from or to its element type. Callers keep
// the index inside the array.
double elementValue(const platform::MLMultiArray& array, int64_t linearIndex);
void setElement(platform::MLMultiArray& array, int64_t linearIndex, double value);

// Copies `rows` rows of a matrix from row firstRow on into the first rows of
// `target`, a matrix with as many columns; both keep their own strides.
// Callers keep the rows inside both.
void copyRows(const platform::MLMultiArray& source, int64_t firstRow, platform::MLMultiArray& target, int64_t rows);

}  // namespace sonoscribe
