#pragma once

#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// out[b] = op(x[b]) * op(y[b]) for every index b of `batch`, through OpenBLAS.
// x holds matrices [m, k] (or [k, m] when transposed) over the batch shape
// `xBatch`, y holds [k, n] (or [n, k]) over `yBatch`; both batch shapes
// broadcast to `batch`. The products run one after another, each split among
// the workers.
void batchedGemm(const float* x, const Shape& xBatch, bool transposeX, const float* y, const Shape& yBatch,
                 bool transposeY, float* out, const Shape& batch, int64_t m, int64_t n, int64_t k);

// A matrix inside a larger buffer: element (r, c) sits at r * rowStride + c * colStride.
struct MatrixLayout {
    int64_t rows = 0, cols = 0, rowStride = 0, colStride = 0;
};

// Whether OpenBLAS can read a matrix of this layout where it lies: one of its
// strides must be 1.
bool blasReadable(const MatrixLayout& layout);

// out = a b (+ beta out) for blasReadable a [m, k] and b [k, n]; out [m, n]
// has rows `outRowStride` apart and adjacent columns. A large product is
// split into blocks on the workers (from inside a worker too), each block
// single-threaded inside OpenBLAS.
void gemm(const float* a, const MatrixLayout& aLayout, const float* b, const MatrixLayout& bLayout, float* out,
          int64_t outRowStride, float beta = 0.0f);

// How many of `extent` rows (or columns) each block gets when a product of
// `work` multiply-adds is split among the workers: a multiple of the
// kernels' register tile, one block when the product is too small to share.
int64_t productBlockWidth(int64_t extent, int64_t work);

// gemm on the calling thread alone, for kernels that split their work among
// the workers themselves.
void gemmOnThisThread(const float* a, const MatrixLayout& aLayout, const float* b, const MatrixLayout& bLayout,
                      float* out, int64_t outRowStride, float beta = 0.0f);


// A matrix of `tensor` at `offset` as fp32 that gemm can read: the tensor's
// own storage when it is fp32 and readable where it lies, else a converted,
// contiguous copy in `scratch`, with `layout` changed to match.
const float* gemmOperand(const Tensor& tensor, int64_t offset, MatrixLayout& layout, std::vector<float>& scratch,
                         const KernelContext& context);

// Stores a contiguous fp32 [rows, cols] matrix into `tensor` at `offset` with
// `layout`, rounding to the tensor's type.
void storeMatrix(const float* values, Tensor& tensor, int64_t offset, const MatrixLayout& layout,
                 const KernelContext& context);

}  // namespace platform::coreml::runtime
