#pragma once

#include <memory>

#include "platform/coreml/runtime/Operation.h"
#include "platform/coreml/runtime/ops/EinsumPlan.h"

namespace platform::coreml::runtime {

// One side a vector per batch index (attention over the keys of one decoder
// step, written as einsum or as matmul). The other side is read where it lies
// when its rows are evenly strided with their summed labels adjacent, as the
// heads of a key or value cache are; otherwise it is reordered into rows of
// its summed labels, in its stored type, and carried over while its contents
// stay the same. Null when the product has no vector side.
std::unique_ptr<Kernel> vectorEinsum(const EinsumPlan& plan, InputRef x, InputRef y, const Shape& matrixShape);

}  // namespace platform::coreml::runtime
