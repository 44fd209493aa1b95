#pragma once

#include <cstdint>

#include "platform/coreml/runtime/InstructionSet.h"

namespace platform::coreml::runtime {

// exp(x - shift) of every element, in place, and the sum of the results in
// double: softmax's middle passes over a line in one. Uses the processor's
// vector units when it has them: within two units in the last place of
// std::exp, exact at the edges (exp(-inf) = 0, exp(inf) = inf, NaN stays NaN).
double expShiftedSum(float* values, int64_t count, float shift);

// The largest of `count` values, -inf when there are none; NaNs are passed
// over.
float largest(const float* values, int64_t count);

// Every one of `count` values times `factor`, in place.
void scaleInPlace(float* values, int64_t count, float factor);

// The largest value of each column j of a row-major [length, width] block
// folded into tops[j]; NaNs are passed over.
void columnMaxima(const float* block, int64_t length, int64_t width, float* tops);

// exp(x - shift[j]) over each column j of a row-major [length, width] block,
// in place, each column's results added into sums[j]: softmax's middle passes
// in one. Accurate as expInPlace.
void expColumnsInPlace(float* block, int64_t length, int64_t width, const float* shift, float* sums);

// The exact gelu, 0.5 x (1 + erf(x / sqrt 2)), from `in` to `out` (which may
// be the same). The vector form uses a rational erf accurate to 1.5e-7.
void geluExact(const float* in, float* out, int64_t count);

// The instructions the functions above run.
InstructionSet vectorMathInstructions();

}  // namespace platform::coreml::runtime
