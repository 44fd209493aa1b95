#include "platform/coreml/runtime/ops/Gemm.h"

#include <cblas.h>

#include <algorithm>

#include "platform/coreml/runtime/ops/OpSupport.h"

namespace platform::coreml::runtime {

void batchedGemm(const float* x, const Shape& xBatch, bool transposeX, const float* y, const Shape& yBatch,
                 bool transposeY, float* out, const Shape& batch, int64_t m, int64_t n, int64_t k,
                 const KernelContext& context) {
    const int64_t batches = countOf(batch);
    if (m == 0 || n == 0) return;
    if (k == 0) {
        std::fill_n(out, batches * m * n, 0.0f);
        return;
    }
    const auto xStrides = broadcastStrides(xBatch, batch);
    const auto yStrides = broadcastStrides(yBatch, batch);
    const Shape batchStrides = stridesOf(batch);
    const auto gemm = [&](int64_t i) {
        int64_t xi = 0, yi = 0, rest = i;
        for (size_t d = 0; d < batch.size(); ++d) {
            const int64_t index = rest / batchStrides[d];
            rest %= batchStrides[d];
            xi += index * xStrides[d];
            yi += index * yStrides[d];
        }
        cblas_sgemm(CblasRowMajor, transposeX ? CblasTrans : CblasNoTrans, transposeY ? CblasTrans : CblasNoTrans,
                    static_cast<int>(m), static_cast<int>(n), static_cast<int>(k), 1.0f, x + xi * m * k,
                    static_cast<int>(transposeX ? m : k), y + yi * k * n, static_cast<int>(transposeY ? k : n), 0.0f,
                    out + i * m * n, static_cast<int>(n));
    };
    if (batches == 1) return gemm(0);
    context.parallelFor(batches, 1, [&](int64_t begin, int64_t end) {
        for (int64_t i = begin; i < end; ++i) gemm(i);
    });
}

}  // namespace platform::coreml::runtime
