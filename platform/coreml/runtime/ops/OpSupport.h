#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// The input as fp32: the same storage when it already is fp32, else a
// converted copy. Kernels compute in fp32 whatever the storage type.
Tensor floatInput(const KernelContext& context, InputRef input);

// An fp32 buffer for output `index`: the output itself when it is fp32,
// else scratch that commit() rounds into the declared type.
class FloatOutput {
public:
    FloatOutput(KernelContext& context, size_t index);
    float* data() { return values_; }
    int64_t count() const { return count_; }
    void commit();

private:
    KernelContext& context_;
    size_t index_;
    Tensor scratch_;
    float* values_ = nullptr;
    int64_t count_ = 0;
};

// Strides of `shape` as seen from a broadcast result of rank `rank`: 0 along
// the dimensions that are broadcast.
std::vector<int64_t> broadcastStrides(const Shape& shape, const Shape& result);

// Visits rows [firstRow, endRow) of a broadcast result: `row(outOffset,
// offsets, count, steps)` covers `count` elements of the last dimension,
// operand k starting at offsets[k] and advancing by steps[k] (0 or 1).
template <typename Row>
void forEachBroadcastRow(const Shape& result, const std::vector<std::vector<int64_t>>& strides, int64_t firstRow,
                         int64_t endRow, Row&& row);

// Validates a broadcast at load, failing with a message naming both shapes.
Shape broadcastOrFail(const OpBuilder& builder, const Shape& a, const Shape& b);

// Copies `source` into `target` (allocated with the permuted shape) so that
// target dimension i is source dimension perm[i].
void permute(const Tensor& source, Tensor& target, const std::vector<int64_t>& perm, const KernelContext& context);

// Reads an `axes` list and maps each axis into [0, rank), failing on an axis
// out of range or named twice.
std::vector<int64_t> normalizedAxes(const OpBuilder& builder, const std::vector<int64_t>& axes, int64_t rank);

template <typename Row>
void forEachBroadcastRow(const Shape& result, const std::vector<std::vector<int64_t>>& strides, int64_t firstRow,
                         int64_t endRow, Row&& row) {
    const size_t rank = result.size();
    const int64_t inner = rank ? result[rank - 1] : 1;
    std::vector<int64_t> steps(strides.size());
    for (size_t k = 0; k < strides.size(); ++k) steps[k] = rank ? strides[k][rank - 1] : 0;
    std::vector<int64_t> offsets(strides.size(), 0);
    for (int64_t r = firstRow; r < endRow; ++r) {
        std::fill(offsets.begin(), offsets.end(), 0);
        int64_t rest = r;
        for (size_t d = rank - 1; rank > 1 && d-- > 0;) {
            const int64_t i = rest % result[d];
            rest /= result[d];
            for (size_t k = 0; k < strides.size(); ++k) offsets[k] += i * strides[k][d];
        }
        row(r * inner, offsets, inner, steps);
    }
}

// Rows of the last dimension in a broadcast result.
inline int64_t rowCount(const Shape& result) {
    if (result.empty()) return 1;
    const int64_t inner = result.back();
    return inner == 0 ? 0 : countOf(result) / inner;
}

}  // namespace platform::coreml::runtime
