#pragma once

#include <cstdint>

#include "platform/coreml/runtime/Tensor.h"

namespace platform::coreml::runtime {

// Elements go through fp32 arithmetic in blocks of this many, so that a kernel
// over fp16 tensors converts into a buffer that stays in the first-level cache
// instead of widening whole tensors.
inline constexpr int64_t kFloatBlock = 1024;

// `count` elements of `tensor` from `offset`, as fp32: a pointer into the
// tensor itself when it is fp32, else `buffer` (at least `count` floats)
// filled with the converted values.
const float* readFloats(const Tensor& tensor, int64_t offset, int64_t count, float* buffer);

// Stores `count` fp32 values at `offset` of `tensor`, rounded to its type.
// Nothing is copied when `values` already is the tensor's own storage.
void writeFloats(Tensor& tensor, int64_t offset, int64_t count, const float* values);

// `count` elements of `tensor` from `offset`, `stride` apart, as fp32 into
// `target`; a run of adjacent elements is converted in one go.
void readStrided(const Tensor& tensor, int64_t offset, int64_t count, int64_t stride, float* target);

// Stores `count` fp32 values into `tensor` from `offset`, `stride` apart,
// rounded to its type.
void writeStrided(Tensor& tensor, int64_t offset, int64_t count, int64_t stride, const float* values);

// Where a kernel should compute `count` outputs from `offset`: straight into
// an fp32 tensor, else into `buffer` for writeFloats to round.
float* floatTarget(Tensor& tensor, int64_t offset, float* buffer);

}  // namespace platform::coreml::runtime
