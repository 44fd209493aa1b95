#pragma once

#include <cstdint>

namespace platform::coreml::runtime {

// Softmax in place, shared by the softmax op and attention. Masks and fp16
// overflow put infinities into scores, and none of them may turn into NaN: a
// line whose largest value is +inf shares its mass equally among its +inf
// entries, and a line of nothing but -inf becomes zeros.

// One contiguous line.
void softmaxRow(float* row, int64_t length);

// Down each column of a row-major [length, width] block.
void softmaxColumns(float* block, int64_t length, int64_t width);

}  // namespace platform::coreml::runtime
