#pragma once

#include <cstdint>
#include <optional>
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

    // How many of the `limit` result elements from `at` one block should
    // take: blocks stay within a row when rows are long, so that an operand
    // repeated row after row is read where it lies instead of copied.
    int64_t blockLength(int64_t at, int64_t limit) const;

    // Operand k's values at result elements [begin, begin + count), from
    // `values` (the operand's own elements in row-major order): a pointer into
    // `values` when they lie there in order, else `buffer` filled with them.
    const float* read(size_t k, const float* values, int64_t begin, int64_t count, float* buffer) const;

    // Where operand k's values for result elements [begin, begin + count)
    // lie among its own elements when that is one place: a run from `offset`
    // in order, or the element at `offset` repeated. Nullopt when the
    // elements cross a row of the innermost merged dimension.
    struct Run {
        int64_t offset = 0;
        bool repeats = false;
    };
    std::optional<Run> runOf(size_t k, int64_t begin, int64_t count) const;

    // The length of a row of the innermost merged dimension.
    int64_t rowLength() const { return dims_.back(); }
    // How far operand k's place moves from one row to the next.
    int64_t rowStride(size_t k) const { return dims_.size() > 1 ? strides_[k][dims_.size() - 2] : 0; }
    // The rows from `at`, the start of a row, whose places lie rowStride
    // apart in every operand: those up to the next step of the dimension
    // outside the rows.
    int64_t rowsFrom(int64_t at) const;

private:
    Shape dims_;
    std::vector<std::vector<int64_t>> strides_;
    std::vector<bool> dense_;
    std::vector<bool> uniform_;
};

}  // namespace platform::coreml::runtime
