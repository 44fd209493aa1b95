#pragma once

#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Shape.h"

namespace platform::coreml::runtime {

// A broadcast over as few dimensions as it takes: the result's dimensions of
// size 1 are dropped and neighbours merged wherever every operand steps
// through them alike. Attention's [1, 224, 8, 1] + [1, 224, 1, 1] becomes 224
// runs of 8, and kernels work through the result in long flat blocks instead
// of one row of its last dimension (here a single element) at a time.
class BroadcastLayout {
public:
    BroadcastLayout(const std::vector<Shape>& operands, const Shape& result);

    // Operand k has the result's shape: its elements are the result's, in order.
    bool isDense(size_t k) const { return dense_[k]; }
    // Operand k is one value repeated over the whole result.
    bool isUniform(size_t k) const { return uniform_[k]; }

    // Operand k's values at result elements [begin, begin + count), from
    // `values` (the operand's own elements in row-major order) into `target`.
    void gather(size_t k, const float* values, int64_t begin, int64_t count, float* target) const;

private:
    Shape dims_;
    std::vector<std::vector<int64_t>> strides_;
    std::vector<bool> dense_;
    std::vector<bool> uniform_;
};

}  // namespace platform::coreml::runtime
