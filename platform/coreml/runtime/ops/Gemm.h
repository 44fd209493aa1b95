#pragma once

#include <cstdint>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// out[b] = op(x[b]) * op(y[b]) for every index b of `batch`, through OpenBLAS.
// x holds matrices [m, k] (or [k, m] when transposed) over the batch shape
// `xBatch`, y holds [k, n] (or [n, k]) over `yBatch`; both batch shapes
// broadcast to `batch`. Independent matrices run on the worker threads.
void batchedGemm(const float* x, const Shape& xBatch, bool transposeX, const float* y, const Shape& yBatch,
                 bool transposeY, float* out, const Shape& batch, int64_t m, int64_t n, int64_t k,
                 const KernelContext& context);

}  // namespace platform::coreml::runtime
