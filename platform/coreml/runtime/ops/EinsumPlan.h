#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// A two-operand einsum as one batched matrix product: x is permuted to
// [batch, x-only, summed], y to [batch, summed, y-only], and the product
// [batch, x-only, y-only] permuted into the output's label order.
struct EinsumPlan {
    std::vector<int64_t> xPerm, yPerm, outPerm;
    Shape xBatch, yBatch, batch;
    int64_t m = 1, n = 1, k = 1;
    size_t summedLabels = 0;
    Shape product;
};

// Validates `equation` against the operands' shapes through `b` and plans it.
EinsumPlan planEinsum(const OpBuilder& b, const std::string& equation, const Shape& xs, const Shape& ys);

// A matmul of two operands of one rank as the einsum it is: the batch
// dimensions shared, "mk,kn->mn" on the last two (swapped where transposed).
// Empty for ranks it cannot spell (below 2 or above 10).
std::string matmulEquation(size_t rank, bool transposeX, bool transposeY);

// `source` with its dimensions in the order `perm`, in its own data type;
// `source` itself when `perm` keeps the order.
Tensor permuted(const Tensor& source, const std::vector<int64_t>& perm, const KernelContext& context);

// The product [batch, m, n] in the output's label order, into output 0.
void storeProduct(const Tensor& product, const EinsumPlan& plan, KernelContext& context);

}  // namespace platform::coreml::runtime
