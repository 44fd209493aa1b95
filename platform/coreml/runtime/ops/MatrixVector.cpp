#include "platform/coreml/runtime/ops/MatrixVector.h"

#include <immintrin.h>

#include <algorithm>

#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"

namespace platform::coreml::runtime {
namespace {

constexpr int64_t kElementsPerTask = 32768;

// Rows computed before their sums are stored.
constexpr int64_t kStoreBlock = 256;

__attribute__((target("avx2,fma,f16c"))) inline __m256 load8(const Float16* p) {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

__attribute__((target("avx2,fma,f16c"))) inline __m256 load8(const float* p) {
    return _mm256_loadu_ps(p);
}

__attribute__((target("avx512f,f16c"))) inline __m512 load16(const Float16* p) {
    // The zero-masked forms, because GCC warns about the undefined source of
    // the plain ones.
    return _mm512_maskz_cvtph_ps(0xffff, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}

__attribute__((target("avx512f,f16c"))) inline __m512 load16(const float* p) {
    return _mm512_loadu_ps(p);
}

__attribute__((target("avx2,fma,f16c"))) inline float sum8(__m256 v) {
    const __m128 half = _mm_add_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    const __m128 pair = _mm_add_ps(half, _mm_movehl_ps(half, half));
    return _mm_cvtss_f32(_mm_add_ss(pair, _mm_shuffle_ps(pair, pair, 1)));
}

__attribute__((target("avx512f,avx2,fma,f16c"))) inline __m256 halves(__m512 v) {
    const __m512d both = _mm512_castps_pd(v);
    return _mm256_add_ps(_mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, both, 0)),
                         _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(0xf, both, 1)));
}

// Rows are summed four at a time, so that every load of the vector serves
// four rows, and the four are taken from four quarters of the rows, each read
// in order. Rows shorter than a page read side by side look to the
// processor's stream prefetcher like jumps within the page: it then leaves a
// step's weights to arrive one miss at a time, and the product reads them
// about a third slower than a plain pass over the same bytes.
struct Quarters {
    const int64_t length;

    explicit Quarters(int64_t count) : length(count / 4) {}
    int64_t row(int64_t r, int i) const { return r + i * length; }
    // Rows past the four quarters, summed one at a time.
    int64_t rest() const { return 4 * length; }
};

template <typename Element>
__attribute__((target("avx2,fma,f16c"))) float rowAvx2(const Element* row, const float* vector, int64_t columns) {
    const int64_t body = columns / 8 * 8;
    __m256 sum = _mm256_setzero_ps();
    for (int64_t c = 0; c < body; c += 8) sum = _mm256_fmadd_ps(load8(row + c), _mm256_loadu_ps(vector + c), sum);
    float total = sum8(sum);
    for (int64_t c = body; c < columns; ++c) total += static_cast<float>(row[c]) * vector[c];
    return total;
}

template <typename Element>
__attribute__((target("avx2,fma,f16c"))) void rowsAvx2(const Element* matrix, int64_t rowStride, const float* vector,
                                                        float* out, int64_t count, int64_t columns) {
    const int64_t body = columns / 8 * 8;
    const Quarters quarters(count);
    for (int64_t r = 0; r < quarters.length; ++r) {
        const Element* row[4];
        for (int i = 0; i < 4; ++i) row[i] = matrix + quarters.row(r, i) * rowStride;
        __m256 sum[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        for (int64_t c = 0; c < body; c += 8) {
            const __m256 x = _mm256_loadu_ps(vector + c);
            for (int i = 0; i < 4; ++i) sum[i] = _mm256_fmadd_ps(load8(row[i] + c), x, sum[i]);
        }
        for (int i = 0; i < 4; ++i) {
            float total = sum8(sum[i]);
            for (int64_t c = body; c < columns; ++c) total += static_cast<float>(row[i][c]) * vector[c];
            out[quarters.row(r, i)] = total;
        }
    }
    for (int64_t r = quarters.rest(); r < count; ++r) out[r] = rowAvx2(matrix + r * rowStride, vector, columns);
}

// rowsAvx2 sixteen columns at a time, which keeps more of a row in flight.
template <typename Element>
__attribute__((target("avx512f,avx2,fma,f16c"))) void rowsAvx512(const Element* matrix, int64_t rowStride,
                                                                 const float* vector, float* out, int64_t count,
                                                                 int64_t columns) {
    const int64_t wide = columns / 16 * 16, body = columns / 8 * 8;
    const Quarters quarters(count);
    for (int64_t r = 0; r < quarters.length; ++r) {
        const Element* row[4];
        for (int i = 0; i < 4; ++i) row[i] = matrix + quarters.row(r, i) * rowStride;
        __m512 sum[4] = {_mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps(), _mm512_setzero_ps()};
        int64_t c = 0;
        for (; c + 32 <= columns; c += 32) {
            const __m512 x = _mm512_loadu_ps(vector + c), next = _mm512_loadu_ps(vector + c + 16);
            for (int i = 0; i < 4; ++i) sum[i] = _mm512_fmadd_ps(load16(row[i] + c), x, sum[i]);
            for (int i = 0; i < 4; ++i) sum[i] = _mm512_fmadd_ps(load16(row[i] + c + 16), next, sum[i]);
        }
        for (; c < wide; c += 16) {
            const __m512 x = _mm512_loadu_ps(vector + c);
            for (int i = 0; i < 4; ++i) sum[i] = _mm512_fmadd_ps(load16(row[i] + c), x, sum[i]);
        }
        __m256 part[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps()};
        for (int64_t c = wide; c < body; c += 8) {
            const __m256 x = _mm256_loadu_ps(vector + c);
            for (int i = 0; i < 4; ++i) part[i] = _mm256_fmadd_ps(load8(row[i] + c), x, part[i]);
        }
        for (int i = 0; i < 4; ++i) {
            float total = sum8(_mm256_add_ps(halves(sum[i]), part[i]));
            for (int64_t c = body; c < columns; ++c) total += static_cast<float>(row[i][c]) * vector[c];
            out[quarters.row(r, i)] = total;
        }
    }
    for (int64_t r = quarters.rest(); r < count; ++r) out[r] = rowAvx2(matrix + r * rowStride, vector, columns);
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

// Four rows at a time, so that every load and store of the sums serves four
// rows.
template <typename Element>
__attribute__((target("avx2,fma,f16c"))) void weightedRowsAvx2(const float* weights, const Element* matrix,
                                                                int64_t rowStride, float* out, int64_t rows,
                                                                int64_t columns) {
    const int64_t body = columns / 8 * 8;
    std::fill_n(out, columns, 0.0f);
    int64_t r = 0;
    for (; r + 4 <= rows; r += 4) {
        const Element* row[4] = {matrix + r * rowStride, matrix + (r + 1) * rowStride, matrix + (r + 2) * rowStride,
                                 matrix + (r + 3) * rowStride};
        const __m256 w[4] = {_mm256_set1_ps(weights[r]), _mm256_set1_ps(weights[r + 1]),
                             _mm256_set1_ps(weights[r + 2]), _mm256_set1_ps(weights[r + 3])};
        for (int64_t c = 0; c < body; c += 8) {
            __m256 sum = _mm256_loadu_ps(out + c);
            for (int i = 0; i < 4; ++i) sum = _mm256_fmadd_ps(load8(row[i] + c), w[i], sum);
            _mm256_storeu_ps(out + c, sum);
        }
        for (int64_t c = body; c < columns; ++c) {
            for (int i = 0; i < 4; ++i) out[c] += weights[r + i] * static_cast<float>(row[i][c]);
        }
    }
    for (; r < rows; ++r) {
        const Element* row = matrix + r * rowStride;
        const __m256 w = _mm256_set1_ps(weights[r]);
        for (int64_t c = 0; c < body; c += 8) {
            _mm256_storeu_ps(out + c, _mm256_fmadd_ps(load8(row + c), w, _mm256_loadu_ps(out + c)));
        }
        for (int64_t c = body; c < columns; ++c) out[c] += weights[r] * static_cast<float>(row[c]);
    }
}

template <typename Element>
void weightedRowsPlain(const float* weights, const Element* matrix, int64_t rowStride, float* out, int64_t rows,
                       int64_t columns) {
    std::fill_n(out, columns, 0.0f);
    for (int64_t r = 0; r < rows; ++r) {
        const Element* row = matrix + r * rowStride;
        for (int64_t c = 0; c < columns; ++c) out[c] += weights[r] * static_cast<float>(row[c]);
    }
}

template <typename Element>
void sumRows(const Element* matrix, int64_t rowStride, const float* vector, float* out, int64_t count, int64_t columns) {
    switch (matrixVectorInstructions()) {
        case InstructionSet::avx512: return rowsAvx512(matrix, rowStride, vector, out, count, columns);
        case InstructionSet::avx2: return rowsAvx2(matrix, rowStride, vector, out, count, columns);
        case InstructionSet::plain: return rowsPlain(matrix, rowStride, vector, out, count, columns);
    }
}

// Runs `block(b, firstRow, rowCount)` over blocks of at most kStoreBlock
// rows, split among the workers. When the batches lie side by side within one
// row step, as the heads of a [keys, heads, width] cache do, a worker takes a
// range of rows in every batch, so that it reads one stretch of memory instead
// of a slice of every row step.
template <typename Block>
void forEachRowBlock(int64_t batches, int64_t rows, int64_t columns, bool interleaved, const KernelContext& context,
                     Block&& block) {
    if (interleaved) {
        const int64_t grain = std::max<int64_t>(1, kElementsPerTask / std::max<int64_t>(columns * batches, 1));
        context.parallelFor(rows, grain, [&](int64_t begin, int64_t end) {
            for (int64_t r = begin; r < end; r += kStoreBlock) {
                const int64_t count = std::min(end - r, kStoreBlock);
                for (int64_t b = 0; b < batches; ++b) block(b, r, count);
            }
        });
        return;
    }
    const int64_t grain = std::max<int64_t>(4, kElementsPerTask / std::max<int64_t>(columns, 1));
    context.parallelFor(batches * rows, grain, [&](int64_t begin, int64_t end) {
        while (begin < end) {
            const int64_t b = begin / rows, r = begin % rows;
            const int64_t count = std::min({end - begin, rows - r, kStoreBlock});
            block(b, r, count);
            begin += count;
        }
    });
}

}  // namespace

InstructionSet matrixVectorInstructions() {
    return instructionSetUpTo(InstructionSet::avx512);
}

template <typename Element>
void matrixVectorOnThisThread(const Element* matrix, int64_t rowStride, const float* vector, float* out, int64_t rows,
                              int64_t columns) {
    sumRows(matrix, rowStride, vector, out, rows, columns);
}

template <typename Element>
void weightedRowSumOnThisThread(const float* weights, const Element* matrix, int64_t rowStride, float* out,
                                int64_t rows, int64_t columns) {
    if (matrixVectorInstructions() == InstructionSet::plain) {
        return weightedRowsPlain(weights, matrix, rowStride, out, rows, columns);
    }
    weightedRowsAvx2(weights, matrix, rowStride, out, rows, columns);
}

template <typename Element>
void stridedMatrixVector(const Element* matrix, MatrixStrides strides, const float* vector, const float* bias, Tensor& out,
                         MatrixStrides outStrides, int64_t batches, int64_t rows, int64_t columns,
                         const KernelContext& context) {
    const bool interleaved = batches > 1 && rows > 1 && strides.batch < strides.row;
    forEachRowBlock(batches, rows, columns, interleaved, context, [&](int64_t b, int64_t r, int64_t count) {
        float sums[kStoreBlock];
        const Element* block = matrix + b * strides.batch + r * strides.row;
        sumRows(block, strides.row, vector + b * columns, sums, count, columns);
        if (bias) {
            for (int64_t i = 0; i < count; ++i) sums[i] += bias[r + i];
        }
        writeStrided(out, b * outStrides.batch + r * outStrides.row, count, outStrides.row, sums);
    });
}

template void stridedMatrixVector<Float16>(const Float16*, MatrixStrides, const float*, const float*, Tensor&,
                                           MatrixStrides, int64_t, int64_t, int64_t, const KernelContext&);
template void stridedMatrixVector<float>(const float*, MatrixStrides, const float*, const float*, Tensor&,
                                         MatrixStrides, int64_t, int64_t, int64_t, const KernelContext&);

template void matrixVectorOnThisThread<Float16>(const Float16*, int64_t, const float*, float*, int64_t, int64_t);
template void matrixVectorOnThisThread<float>(const float*, int64_t, const float*, float*, int64_t, int64_t);
template void weightedRowSumOnThisThread<Float16>(const float*, const Float16*, int64_t, float*, int64_t, int64_t);
template void weightedRowSumOnThisThread<float>(const float*, const float*, int64_t, float*, int64_t, int64_t);

}  // namespace platform::coreml::runtime
