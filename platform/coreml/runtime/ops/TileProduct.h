#pragma once

#include <cstdint>

#include "platform/coreml/runtime/InstructionSet.h"

namespace platform::coreml::runtime {

// A bf16 number as its bit pattern: the upper half of an fp32 one.
using BFloat16Bits = uint16_t;

// Whether this processor has bf16 matrix tiles that oneDNN can use. Only
// there does a product split into bf16 parts (three tile products instead of
// one fp32 one) run faster than OpenBLAS.
bool tileProductsAvailable();

// The fp32 number a bf16 one is.
float widenBFloat16(BFloat16Bits half);

// Writes each of `count` values as high + low, two bf16 numbers: `high`
// rounded to nearest, `low` the rest rounded. The sum is exact for every fp16
// value and within 2^-16 relative of an fp32 one. An infinite or NaN value
// keeps itself in `high` and leaves 0 in `low`.
void splitToBFloat16(const float* values, int64_t count, BFloat16Bits* high, BFloat16Bits* low);
// The instructions splitToBFloat16 runs.
InstructionSet bfloat16SplitInstructions();

// out[m, n] = a bᵀ on the processor's tiles for bf16 a [m, k] and b [n, k],
// both row-major, with the sums kept in fp32 and out [m, n] row-major. Runs
// on the calling thread alone, so that the runtime's workers can each take a
// share of a larger product; oneDNN's own threads would go on spinning after
// every product and slow the work that follows it.
void tileProductOnThisThread(const BFloat16Bits* a, int64_t m, const BFloat16Bits* b, int64_t n, int64_t k,
                             float* out);

}  // namespace platform::coreml::runtime
