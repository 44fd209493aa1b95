#include "platform/coreml/runtime/ops/MatrixVector.h"

#include <immintrin.h>

#include <algorithm>

namespace platform::coreml::runtime {
namespace {

constexpr int64_t kElementsPerTask = 32768;

__attribute__((target("avx2,fma,f16c"))) inline __m256 load8(const Float16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

__attribute__((target("avx2,fma,f16c"))) inline __m256 load8(const float* p) {
    return _mm256_loadu_ps(p);
}

__attribute__((target("avx2,fma,f16c"))) inline float sum8(__m256 v) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 pair = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pair, _mm_shuffle_ps(pair, pair, 1)));
}

// Four rows at a time, so that every load of the vector serves four rows.
template <typename Element>
__attribute__((target("avx2,fma,f16c"))) void rowsVectorised(const Element* matrix, int64_t rowStride, const float* vector,
                                                              float* out, int64_t count, int64_t columns) {
    const int64_t body = columns / 8 * 8;
    int64_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const Element* row[4] = {matrix + r * rowStride, matrix + (r + 1) * rowStride, matrix + (r + 2) * rowStride,
                                 matrix + (r + 3) * rowStride};
        __m256 sum[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        for (int64_t c = 0; c < body; c += 8) {
            const __m256 x = _mm256_loadu_ps(vector + c);
            for (int i = 0; i < 4; ++i) sum[i] = _mm256_fmadd_ps(load8(row[i] + c), x, sum[i]);
        }
        for (int i = 0; i < 4; ++i) {
            float total = sum8(sum[i]);
            for (int64_t c = body; c < columns; ++c) total += static_cast<float>(row[i][c]) * vector[c];
            out[r + i] = total;
        }
    }
    for (; r < count; ++r) {
        const Element* row = matrix + r * rowStride;
        __m256 sum = _mm256_setzero_ps();
        for (int64_t c = 0; c < body; c += 8) sum = _mm256_fmadd_ps(load8(row + c), _mm256_loadu_ps(vector + c), sum);
        float total = sum8(sum);
        for (int64_t c = body; c < columns; ++c) total += static_cast<float>(row[c]) * vector[c];
        out[r] = total;
    }
}

template <typename Element>
void rowsPlain(const Element* matrix, int64_t rowStride, const float* vector, float* out, int64_t count,
               int64_t columns) {
    for (int64_t r = 0; r < count; ++r) {
        const Element* row = matrix + r * rowStride;
        float total = 0;
        for (int64_t c = 0; c < columns; ++c) total += static_cast<float>(row[c]) * vector[c];
        out[r] = total;
    }
}

bool vectorised() {
    static const bool supported =
        __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
    return supported;
}

}  // namespace

template <typename Element>
void matrixVector(const Element* matrix, const float* vector, const float* bias, float* out, int64_t batches,
                  int64_t rows, int64_t columns, const KernelContext& context) {
    stridedMatrixVector(matrix, MatrixStrides{rows * columns, columns}, vector, bias, out, batches, rows, columns, context);
}

template <typename Element>
void stridedMatrixVector(const Element* matrix, MatrixStrides strides, const float* vector, const float* bias,
                         float* out, int64_t batches, int64_t rows, int64_t columns, const KernelContext& context) {
    const int64_t grain = std::max<int64_t>(4, kElementsPerTask / std::max<int64_t>(columns, 1));
    context.parallelFor(batches * rows, grain, [&](int64_t begin, int64_t end) {
        while (begin < end) {
            const int64_t b = begin / rows, r = begin % rows;
            const int64_t count = std::min(end - begin, rows - r);
            const Element* block = matrix + b * strides.batch + r * strides.row;
            const float* x = vector + b * columns;
            float* y = out + b * rows + r;
            if (vectorised()) {
                rowsVectorised(block, strides.row, x, y, count, columns);
            } else {
                rowsPlain(block, strides.row, x, y, count, columns);
            }
            if (bias) {
                for (int64_t i = 0; i < count; ++i) y[i] += bias[r + i];
            }
            begin += count;
        }
    });
}

template void matrixVector<Float16>(const Float16*, const float*, const float*, float*, int64_t, int64_t, int64_t,
                                    const KernelContext&);
template void matrixVector<float>(const float*, const float*, const float*, float*, int64_t, int64_t, int64_t,
                                  const KernelContext&);
template void stridedMatrixVector<Float16>(const Float16*, MatrixStrides, const float*, const float*, float*, int64_t,
                                           int64_t, int64_t, const KernelContext&);
template void stridedMatrixVector<float>(const float*, MatrixStrides, const float*, const float*, float*, int64_t,
                                         int64_t, int64_t, const KernelContext&);

}  // namespace platform::coreml::runtime
