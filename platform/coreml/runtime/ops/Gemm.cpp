#include "platform/coreml/runtime/ops/Gemm.h"

#include <cblas.h>

#include <algorithm>
#include <mutex>

#include "platform/coreml/runtime/WorkerPool.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"
#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {
namespace {

struct BlasOperand {
    CBLAS_TRANSPOSE transpose;
    int leading;
};

// A dimension of size 1 has no meaningful stride, so either side may count
// as the unit one; the other stride must clear a whole row (or column), or
// the rows would overlap (a broadcast operand has stride 0).
bool rowsReadable(const MatrixLayout& l) {
    return (l.colStride == 1 || l.cols == 1) && (l.rows == 1 || l.rowStride >= std::max<int64_t>(l.cols, 1));
}

bool columnsReadable(const MatrixLayout& l) {
    return (l.rowStride == 1 || l.rows == 1) && (l.cols == 1 || l.colStride >= std::max<int64_t>(l.rows, 1));
}

BlasOperand blasOperand(const MatrixLayout& l) {
    if (rowsReadable(l)) return {CblasNoTrans, static_cast<int>(l.rows == 1 ? std::max<int64_t>(l.cols, 1) : l.rowStride)};
    return {CblasTrans, static_cast<int>(l.cols == 1 ? std::max<int64_t>(l.rows, 1) : l.colStride)};
}

// Products are split into blocks on our own worker threads, each block
// single-threaded inside OpenBLAS. Its own threads would compete with ours
// for the cores (they spin between products while ours run the other
// operations), and row blocks of one product on our threads ran faster than
// OpenBLAS's threads on the whole of it. Anything else in the process may set
// OpenBLAS's thread count at any time, after which every worker's block would
// start all of OpenBLAS's threads: the count is read before every product,
// which costs a load.
void keepBlasOnOneThread() {
    if (openblas_get_num_threads() == 1) return;
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    openblas_set_num_threads(1);
}

// Blocks are a multiple of the kernels' register tile wide, and a block is
// worth handing to another thread only above this many multiply-adds.
constexpr int64_t kBlockAlign = 16;
constexpr int64_t kMinBlockWork = int64_t{1} << 18;

void blockGemm(const float* a, const MatrixLayout& aLayout, const float* b, const MatrixLayout& bLayout, float* out,
               int64_t outRowStride, float beta) {
    const int64_t m = aLayout.rows, k = aLayout.cols, n = bLayout.cols;
    const BlasOperand ao = blasOperand(aLayout), bo = blasOperand(bLayout);
    keepBlasOnOneThread();
    cblas_sgemm(CblasRowMajor, ao.transpose, bo.transpose, static_cast<int>(m), static_cast<int>(n), static_cast<int>(k),
                1.0f, a, ao.leading, b, bo.leading, beta, out, static_cast<int>(m == 1 ? n : outRowStride));
}

// Zero-sized products, which OpenBLAS need not see: true when handled.
bool emptyProduct(const MatrixLayout& aLayout, const MatrixLayout& bLayout, float* out, int64_t outRowStride, float beta) {
    const int64_t m = aLayout.rows, k = aLayout.cols, n = bLayout.cols;
    if (m == 0 || n == 0) return true;
    if (k != 0) return false;
    // As in BLAS, a beta of 0 means out is not read: it may hold anything.
    for (int64_t r = 0; r < m; ++r) {
        for (int64_t c = 0; c < n; ++c) out[r * outRowStride + c] = beta == 0.0f ? 0.0f : out[r * outRowStride + c] * beta;
    }
    return true;
}

}  // namespace

bool blasReadable(const MatrixLayout& l) {
    return rowsReadable(l) || columnsReadable(l);
}

int64_t productBlockWidth(int64_t extent, int64_t work) {
    const int64_t blocks = std::clamp<int64_t>(work / kMinBlockWork, 1, workerCount());
    const int64_t even = (extent + blocks - 1) / blocks;
    return (even + kBlockAlign - 1) / kBlockAlign * kBlockAlign;
}

void gemm(const float* a, const MatrixLayout& aLayout, const float* b, const MatrixLayout& bLayout, float* out,
          int64_t outRowStride, float beta) {
    if (emptyProduct(aLayout, bLayout, out, outRowStride, beta)) return;
    const int64_t m = aLayout.rows, k = aLayout.cols, n = bLayout.cols;
    // Every row block packs all of b again, yet row blocks ran fastest:
    // columns are split only when there are too few rows to go round.
    const bool byRows = m >= kBlockAlign * workerCount() || m >= n;
    const int64_t extent = byRows ? m : n;
    const int64_t width = productBlockWidth(extent, m * n * k);
    if (width >= extent) return blockGemm(a, aLayout, b, bLayout, out, outRowStride, beta);
    parallelFor((extent + width - 1) / width, 1, [&](int64_t begin, int64_t end) {
        for (int64_t block = begin; block < end; ++block) {
            const int64_t first = block * width, count = std::min(width, extent - first);
            if (byRows) {
                const MatrixLayout rows{count, k, aLayout.rowStride, aLayout.colStride};
                blockGemm(a + first * aLayout.rowStride, rows, b, bLayout, out + first * outRowStride, outRowStride, beta);
            } else {
                const MatrixLayout columns{k, count, bLayout.rowStride, bLayout.colStride};
                blockGemm(a, aLayout, b + first * bLayout.colStride, columns, out + first, outRowStride, beta);
            }
        }
    });
}

void gemmOnThisThread(const float* a, const MatrixLayout& aLayout, const float* b, const MatrixLayout& bLayout,
                      float* out, int64_t outRowStride, float beta) {
    if (emptyProduct(aLayout, bLayout, out, outRowStride, beta)) return;
    blockGemm(a, aLayout, b, bLayout, out, outRowStride, beta);
}

void batchedGemm(const float* x, const Shape& xBatch, bool transposeX, const float* y, const Shape& yBatch,
                 bool transposeY, float* out, const Shape& batch, int64_t m, int64_t n, int64_t k) {
    const int64_t batches = countOf(batch);
    if (m == 0 || n == 0) return;
    if (k == 0) {
        std::fill_n(out, batches * m * n, 0.0f);
        return;
    }
    const auto xStrides = broadcastStrides(xBatch, batch);
    const auto yStrides = broadcastStrides(yBatch, batch);
    const Shape batchStrides = stridesOf(batch);
    const MatrixLayout xLayout = transposeX ? MatrixLayout{m, k, 1, m} : MatrixLayout{m, k, k, 1};
    const MatrixLayout yLayout = transposeY ? MatrixLayout{k, n, 1, k} : MatrixLayout{k, n, n, 1};
    for (int64_t i = 0; i < batches; ++i) {
        int64_t xi = 0, yi = 0, rest = i;
        for (size_t d = 0; d < batch.size(); ++d) {
            const int64_t index = rest / batchStrides[d];
            rest %= batchStrides[d];
            xi += index * xStrides[d];
            yi += index * yStrides[d];
        }
        gemm(x + xi * m * k, xLayout, y + yi * k * n, yLayout, out + i * m * n, n);
    }
}


// Matrices with adjacent rows (row stride 1) are converted column by column
// into a column-major copy, which gemm reads transposed; only matrices with no
// unit stride at all go element by element.
const float* gemmOperand(const Tensor& tensor, int64_t offset, MatrixLayout& layout, std::vector<float>& scratch,
                         const KernelContext& context) {
    if (tensor.dataType() == DataType::Float32 && blasReadable(layout)) return tensor.data<float>() + offset;
    const MatrixLayout l = layout;
    scratch.resize(static_cast<size_t>(l.rows * l.cols));
    float* target = scratch.data();
    const bool byColumns = l.colStride != 1 && l.rowStride == 1;
    const int64_t lines = byColumns ? l.cols : l.rows, length = byColumns ? l.rows : l.cols;
    const int64_t lineStride = byColumns ? l.colStride : l.rowStride, step = byColumns ? 1 : l.colStride;
    context.parallelFor(lines, std::max<int64_t>(1, 4096 / std::max<int64_t>(length, 1)), [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) readStrided(tensor, offset + i * lineStride, length, step, target + i * length);
    });
    layout = byColumns ? MatrixLayout{l.rows, l.cols, 1, l.rows} : MatrixLayout{l.rows, l.cols, l.cols, 1};
    return target;
}

void storeMatrix(const float* values, Tensor& tensor, int64_t offset, const MatrixLayout& layout,
                 const KernelContext& context) {
    const MatrixLayout l = layout;
    const bool byColumns = l.colStride != 1 && l.rowStride == 1;
    const int64_t lines = byColumns ? l.cols : l.rows, length = byColumns ? l.rows : l.cols;
    const int64_t lineStride = byColumns ? l.colStride : l.rowStride;
    context.parallelFor(lines, std::max<int64_t>(1, 4096 / std::max<int64_t>(length, 1)), [&](int64_t begin, int64_t end) {
        std::vector<float> line(static_cast<size_t>(byColumns ? length : 0));
        for (int64_t i = begin; i < end; ++i) {
            const int64_t start = offset + i * lineStride;
            if (byColumns) {
                for (int64_t j = 0; j < length; ++j) line[static_cast<size_t>(j)] = values[j * l.cols + i];
                writeFloats(tensor, start, length, line.data());
            } else {
                writeStrided(tensor, start, length, l.colStride, values + i * l.cols);
            }
        }
    });
}

}  // namespace platform::coreml::runtime
