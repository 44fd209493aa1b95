#include "platform/coreml/runtime/ops/WeightMatrix.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/coreml/runtime/ops/DnnlMatmul.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/Gemm.h"
#include "platform/coreml/runtime/ops/MatrixVector.h"
#include "platform/coreml/runtime/ops/TileProduct.h"
#include "platform/coreml/runtime/WorkerPool.h"

namespace platform::coreml::runtime {
namespace {

// Widened rows per block: 4 MiB of fp32, enough for OpenBLAS to run at speed.
constexpr int64_t kBlockElements = int64_t{1} << 20;

// Below this many multiply-adds, splitting into bf16 parts costs more than
// the tiles save.
constexpr int64_t kTileWork = int64_t{1} << 24;

// Rows of the tall weight matrix a worker splits and multiplies on the tiles
// at a time: their sums over 1500 frames stay in its second-level cache.
constexpr int64_t kTileRows = 128;

// Frames, or rows, a worker turns from one layout to the other at a time.
constexpr int64_t kTransposeTile = 16;

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
    if (suitsTiles(products, rows, cols, n)) return timesEachOnTiles(products, x, n, rows, cols, context);
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
                dnnlFloatProductOnThisThread(rowsOfW, MatrixLayout{count, w.cols_, w.cols_, 1}, x, MatrixLayout{w.cols_, n, n, 1}, target, n);
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

bool WeightMatrix::suitsTiles(const std::vector<Share>& products, int64_t rows, int64_t cols, int64_t n) {
    // An fp16 weight splits into bf16 parts exactly; the dropped low-by-low
    // part and the split of x stay far below an fp16 output's rounding.
    const bool halfPrecision = std::all_of(products.begin(), products.end(), [](const Share& p) {
        return p.weight->tensor_.dataType() == DataType::Float16 && p.out->dataType() == DataType::Float16;
    });
    return halfPrecision && rows * cols * n >= kTileWork && tileProductsAvailable();
}

void WeightMatrix::timesEachOnTiles(const std::vector<Share>& products, const float* x, int64_t n, int64_t rows,
                                    int64_t cols, const KernelContext& context) {
    const int64_t depth = 3 * cols;
    // xᵀ split as [xh, xl, xh] along each row, to meet each weight row's
    // [Wh, Wh, Wl]. Uninitialised: every element is written before it is read.
    const auto splitX = std::make_unique_for_overwrite<BFloat16Bits[]>(static_cast<size_t>(n * depth));
    context.parallelFor((n + kTransposeTile - 1) / kTransposeTile, 1, [&](int64_t begin, int64_t end) {
        // A tile of frames is gathered a row of x at a time, so that every
        // cache line of x is read once.
        std::vector<float> columns(static_cast<size_t>(kTransposeTile * cols));
        for (int64_t tile = begin; tile < end; ++tile) {
            const int64_t t0 = tile * kTransposeTile, width = std::min(kTransposeTile, n - t0);
            for (int64_t k = 0; k < cols; ++k) {
                for (int64_t i = 0; i < width; ++i) columns[static_cast<size_t>(i * cols + k)] = x[k * n + t0 + i];
            }
            for (int64_t i = 0; i < width; ++i) {
                BFloat16Bits* row = splitX.get() + (t0 + i) * depth;
                splitToBFloat16(columns.data() + i * cols, cols, row, row + cols);
                std::copy_n(row, cols, row + 2 * cols);
            }
        }
    });

    // Which product, and which of its rows, each row of the tall matrix is.
    std::vector<std::pair<const Share*, int64_t>> rowOwners;
    rowOwners.reserve(static_cast<size_t>(rows));
    for (const Share& p : products) {
        for (int64_t r = 0; r < p.weight->rows_; ++r) rowOwners.emplace_back(&p, r);
    }
    // Blocks of at most kTileRows, as many for every worker, in whole tiles.
    const int64_t workers = workerCount();
    const int64_t rounds = (rows + workers * kTileRows - 1) / (workers * kTileRows);
    const int64_t even = (rows + workers * rounds - 1) / (workers * rounds);
    const int64_t blockRows = (even + kTransposeTile - 1) / kTransposeTile * kTransposeTile;
    const int64_t blocks = (rows + blockRows - 1) / blockRows;
    context.parallelFor(blocks, 1, [&](int64_t begin, int64_t end) {
        const auto splitW = std::make_unique_for_overwrite<BFloat16Bits[]>(static_cast<size_t>(blockRows * depth));
        const auto sums = std::make_unique_for_overwrite<float[]>(static_cast<size_t>(n * blockRows));
        std::vector<float> row(static_cast<size_t>(cols)), outRows(static_cast<size_t>(kTransposeTile * n));
        for (int64_t block = begin; block < end; ++block) {
            const int64_t first = block * blockRows, count = std::min(blockRows, rows - first);
            for (int64_t r = 0; r < count; ++r) {
                const auto& [owner, index] = rowOwners[static_cast<size_t>(first + r)];
                owner->weight->widenRows(index, 1, row.data());
                BFloat16Bits* target = splitW.get() + r * depth;
                splitToBFloat16(row.data(), cols, target, target + 2 * cols);
                std::copy_n(target, cols, target + cols);
            }
            // sums [n, count]: one column per row of this block.
            tileProductOnThisThread(splitX.get(), n, splitW.get(), count, depth, sums.get());
            // Back to one row per weight row, a tile of rows at a time so that
            // every cache line of the sums is read once.
            for (int64_t r0 = 0; r0 < count; r0 += kTransposeTile) {
                const int64_t height = std::min(kTransposeTile, count - r0);
                for (int64_t t = 0; t < n; ++t) {
                    const float* line = sums.get() + t * count + r0;
                    for (int64_t i = 0; i < height; ++i) outRows[static_cast<size_t>(i * n + t)] = line[i];
                }
                for (int64_t i = 0; i < height; ++i) {
                    const auto& [owner, index] = rowOwners[static_cast<size_t>(first + r0 + i)];
                    float* values = outRows.data() + i * n;
                    if (owner->bias) {
                        const float bias = owner->bias[index];
                        for (int64_t t = 0; t < n; ++t) values[t] += bias;
                    }
                    writeFloats(*owner->out, owner->offset + index * n, n, values);
                }
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
