#include "platform/coreml/runtime/ops/WeightMatrix.h"

#include <algorithm>
#include <vector>

#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"

namespace platform::coreml::runtime {
namespace {

// Widened rows per block: 4 MiB of fp32, enough for OpenBLAS to run at speed.
constexpr int64_t kBlockElements = int64_t{1} << 20;

}  // namespace

WeightMatrix::WeightMatrix(Tensor tensor, int64_t rows, int64_t cols, int64_t offset)
    : tensor_(std::move(tensor)), rows_(rows), cols_(cols), offset_(offset) {}

WeightMatrix WeightMatrix::slice(int64_t first, int64_t count) const {
    return WeightMatrix(tensor_, count, cols_, offset_ + first * cols_);
}

void WeightMatrix::widenRows(int64_t first, int64_t count, float* target) const {
    const int64_t start = offset_ + first * cols_;
    if (tensor_.dataType() == DataType::Float16) {
        return widen(tensor_.data<Float16>() + start, target, static_cast<size_t>(count * cols_));
    }
    for (int64_t i = 0; i < count * cols_; ++i) target[i] = static_cast<float>(tensor_.number(start + i));
}

template <typename Product>
void WeightMatrix::forEachFloatBlock(const KernelContext& context, Product&& product) const {
    if (tensor_.dataType() == DataType::Float32) return product(tensor_.data<float>() + offset_, int64_t{0}, rows_);
    const int64_t blockRows = std::clamp<int64_t>(kBlockElements / std::max<int64_t>(cols_, 1), 1, rows_);
    std::vector<float> block(static_cast<size_t>(blockRows * cols_));
    for (int64_t first = 0; first < rows_; first += blockRows) {
        const int64_t count = std::min(blockRows, rows_ - first);
        context.parallelFor(count, std::max<int64_t>(1, 16384 / std::max<int64_t>(cols_, 1)), [&](int64_t begin, int64_t end) {
            widenRows(first + begin, end - begin, block.data() + begin * cols_);
        });
        product(block.data(), first, count);
    }
}

const float* WeightMatrix::floatRows(int64_t first, int64_t count, std::vector<float>& scratch) const {
    if (tensor_.dataType() == DataType::Float32) return tensor_.data<float>() + offset_ + first * cols_;
    scratch.resize(static_cast<size_t>(count * cols_));
    widenRows(first, count, scratch.data());
    return scratch.data();
}

void WeightMatrix::times(const float* x, int64_t n, const float* bias, Tensor& out, int64_t offset,
                         const KernelContext& context) const {
    timesEach({Share{this, bias, &out, offset}}, x, n, context);
}

void WeightMatrix::timesEach(const std::vector<Share>& products, const float* x, int64_t n,
                             const KernelContext& context) {
    int64_t rows = 0, cols = 0;
    for (const Share& p : products) {
        rows += p.weight->rows_;
        cols = p.weight->cols_;
    }
    if (rows == 0 || n == 0) return;
    const int64_t blockRows = productBlockWidth(rows, rows * cols * n);
    context.parallelFor((rows + blockRows - 1) / blockRows, 1, [&](int64_t begin, int64_t end) {
        std::vector<float> weights, sums;
        // This worker's rows of the tall matrix, [begin * blockRows, last), in a
        // piece of each product they cross.
        const int64_t last = std::min(rows, end * blockRows);
        int64_t productStart = 0;
        for (const Share& p : products) {
            const WeightMatrix& w = *p.weight;
            const int64_t from = std::max(begin * blockRows, productStart) - productStart;
            const int64_t to = std::min(last, productStart + w.rows_) - productStart;
            productStart += w.rows_;
            for (int64_t first = from; first < to; first += blockRows) {
                const int64_t count = std::min(blockRows, to - first);
                const bool direct = p.out->dataType() == DataType::Float32;
                const float* rowsOfW = w.floatRows(first, count, weights);
                if (!direct) sums.resize(static_cast<size_t>(count * n));
                float* target = direct ? p.out->mutableData<float>() + p.offset + first * n : sums.data();
                gemmOnThisThread(rowsOfW, MatrixLayout{count, w.cols_, w.cols_, 1}, x, MatrixLayout{w.cols_, n, n, 1}, target, n);
                if (p.bias) {
                    for (int64_t r = 0; r < count; ++r) {
                        float* row = target + r * n;
                        const float value = p.bias[first + r];
                        for (int64_t i = 0; i < n; ++i) row[i] += value;
                    }
                }
                if (!direct) writeFloats(*p.out, p.offset + first * n, count * n, target);
            }
        }
    });
}

void WeightMatrix::timesVector(const float* x, const float* bias, Tensor& out, const KernelContext& context) const {
    if (rows_ == 0) return;
    const MatrixStrides in{0, cols_}, at{0, 1};
    if (tensor_.dataType() == DataType::Float16) {
        return stridedMatrixVector(tensor_.data<Float16>() + offset_, in, x, bias, out, at, 1, rows_, cols_, context);
    }
    if (tensor_.dataType() == DataType::Float32) {
        return stridedMatrixVector(tensor_.data<float>() + offset_, in, x, bias, out, at, 1, rows_, cols_, context);
    }
    // fp64 weights go through fp32 blocks like any other product.
    std::vector<float> sums(static_cast<size_t>(rows_));
    timesTransposed(x, 1, bias, sums.data(), context);
    writeFloats(out, 0, rows_, sums.data());
}

void WeightMatrix::timesTransposed(const float* x, int64_t m, const float* bias, float* out,
                                   const KernelContext& context) const {
    if (rows_ == 0 || m == 0) return;
    for (int64_t r = 0; r < m; ++r) {
        if (bias) {
            std::copy_n(bias, rows_, out + r * rows_);
        } else {
            std::fill_n(out + r * rows_, rows_, 0.0f);
        }
    }
    forEachFloatBlock(context, [&](const float* w, int64_t first, int64_t count) {
        gemm(x, MatrixLayout{m, cols_, cols_, 1}, w, MatrixLayout{cols_, count, 1, cols_}, out + first, rows_, 1.0f);
    });
}

}  // namespace platform::coreml::runtime
