#pragma once

#include <cstdint>

#include "platform/coreml/runtime/Tensor.h"
#include "platform/coreml/runtime/ops/BroadcastLayout.h"

namespace platform::coreml::runtime {

// One factor of a product sum a * b + c * d: operand `leaf` of the layout,
// `tensor` its values as given (fp16 or fp32), and `widened` the same as fp32
// when the operand is broadcast over the result (neither dense nor uniform).
struct ProductFactor {
    size_t leaf = 0;
    const Tensor* tensor = nullptr;
    const float* widened = nullptr;
};

// Result elements [begin, end) of a * b + c * d over `layout`'s result
// (a decoder's cache merged with its new entry through the update mask,
// cache * keep + entry * slot), stored into `out` (fp16 or fp32) from
// element `outAt` on. Each product and the sum are taken in fp32 and only the
// sum is rounded to the type of `out`: the bits of the step-by-step
// arithmetic. A block within one row reads every factor where it lies.
void productSumOver(const BroadcastLayout& layout, const ProductFactor (&factors)[4], int64_t begin, int64_t end,
                    Tensor& out, int64_t outAt);

}  // namespace platform::coreml::runtime
