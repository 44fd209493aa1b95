#pragma once

#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// A weight matrix [rows, cols] in its stored type: fp16 weights stay in the
// mapped weight file, half the memory of a widened copy. Products against
// many columns widen the weight a block of rows at a time into scratch for the
// fp32 kernels (oneDNN's on the AVX2 path and wider, OpenBLAS's below), or,
// for fp16 weights and results on a processor with bf16 matrix tiles, split it
// into bf16 parts for them; a product with one vector (a decoder step) reads
// the fp16 rows as stored through stridedMatrixVector, which also halves the
// bytes read.
class WeightMatrix {
public:
    WeightMatrix() = default;
    // `tensor` holds the matrix row-major from element `offset` on.
    WeightMatrix(Tensor tensor, int64_t rows, int64_t cols, int64_t offset = 0);

    int64_t rows() const { return rows_; }
    int64_t cols() const { return cols_; }
    // Rows [first, first + count).
    WeightMatrix slice(int64_t first, int64_t count) const;

    // out[rows, n] = W x + bias, for x [cols, n], stored into `out` (fp32 or
    // fp16) from element `offset` with rows n apart, each sum rounded once.
    // Each block of rows is widened, multiplied, biased and stored by one
    // worker in one go. `bias` ([rows]) may be null.
    void times(const float* x, int64_t n, const float* bias, Tensor& out, int64_t offset,
               const KernelContext& context) const;
    // One product of several that share x, for timesEach.
    struct Share {
        const WeightMatrix* weight = nullptr;
        const float* bias = nullptr;
        Tensor* out = nullptr;
        int64_t offset = 0;
    };
    // `times` for several weights against one x: their rows are shared among
    // the workers as one tall matrix, so that x is packed once per block of
    // that matrix rather than once per block of every weight.
    static void timesEach(const std::vector<Share>& products, const float* x, int64_t n, const KernelContext& context);
    // out[rows] = W x + bias for one vector x [cols], written straight into
    // `out` (fp32 or fp16, `rows` elements) with each sum rounded once, as
    // a decoder step's products are. `bias` ([rows]) may be null.
    void timesVector(const float* x, const float* bias, Tensor& out, const KernelContext& context) const;
    // out[m, rows] = x Wᵀ + bias, for x [m, cols]; out rows are `rows` apart.
    // `bias` ([rows]) may be null.
    void timesTransposed(const float* x, int64_t m, const float* bias, float* out, const KernelContext& context) const;

private:
    // Runs `product(block, firstRow, rowCount)` over fp32 blocks of the rows.
    template <typename Product>
    void forEachFloatBlock(const KernelContext& context, Product&& product) const;
    // Rows [first, first + count) as fp32: the stored rows themselves when
    // they are fp32, else widened into `scratch`.
    const float* floatRows(int64_t first, int64_t count, std::vector<float>& scratch) const;
    // Widens rows [first, first + count) of a matrix not stored as fp32.
    void widenRows(int64_t first, int64_t count, float* target) const;
    // Whether timesEach should run `products` on the processor's bf16 tiles.
    static bool suitsTiles(const std::vector<Share>& products, int64_t rows, int64_t cols, int64_t n);
    // timesEach on the tiles: W x as Wh xh + Wh xl + Wl xh, each matrix split
    // into bf16 high and low parts, the three products as one of thrice the
    // depth.
    static void timesEachOnTiles(const std::vector<Share>& products, const float* x, int64_t n, int64_t rows,
                                 int64_t cols, const KernelContext& context);

    Tensor tensor_;
    int64_t rows_ = 0, cols_ = 0, offset_ = 0;
};

}  // namespace platform::coreml::runtime
