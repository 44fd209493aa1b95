#include "platform/coreml/runtime/ops/VectorMath.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>

namespace platform::coreml::runtime {
namespace {

constexpr float kExpHigh = 88.3762626647949f;
constexpr float kExpLow = -87.3365478515625f;

// Range reduction exp(x) = 2^n exp(r) with |r| <= ln2 / 2, then a degree-5
// polynomial for exp(r); n is added straight into the exponent bits. For x in
// [kExpLow, kExpHigh].
__attribute__((target("avx2,fma"))) inline __m256 expWithinRange(__m256 x) {
    const __m256 n = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(1.44269504088896341f)),
                                     _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(n, _mm256_set1_ps(0.693359375f), x);
    r = _mm256_fnmadd_ps(n, _mm256_set1_ps(-2.12194440e-4f), r);
    __m256 p = _mm256_set1_ps(1.9875691500e-4f);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.3981999507e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(8.3334519073e-3f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(4.1665795894e-2f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(1.6666665459e-1f));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(5.0000001201e-1f));
    p = _mm256_fmadd_ps(p, _mm256_mul_ps(r, r), _mm256_add_ps(r, _mm256_set1_ps(1.0f)));
    const __m256i exponent = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvtps_epi32(n), _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(exponent));
}

// Lanes beyond the range or NaN are rare (masked scores): only vectors that
// hold one pay for the clamping and the fixes at the edges.
__attribute__((target("avx2,fma"))) __m256 exp8(__m256 x) {
    const __m256 high = _mm256_set1_ps(kExpHigh), low = _mm256_set1_ps(kExpLow);
    const __m256 within = _mm256_and_ps(_mm256_cmp_ps(x, low, _CMP_GE_OQ), _mm256_cmp_ps(x, high, _CMP_LE_OQ));
    if (_mm256_movemask_ps(within) == 0xff) return expWithinRange(x);
    __m256 result = expWithinRange(_mm256_max_ps(_mm256_min_ps(x, high), low));
    result = _mm256_blendv_ps(result, _mm256_set1_ps(INFINITY), _mm256_cmp_ps(x, high, _CMP_GT_OQ));
    result = _mm256_blendv_ps(result, _mm256_setzero_ps(), _mm256_cmp_ps(x, low, _CMP_LT_OQ));
    return _mm256_blendv_ps(result, x, _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
}

// Abramowitz and Stegun 7.1.26 on |x|, the sign restored afterwards.
__attribute__((target("avx2,fma"))) __m256 gelu8(__m256 x) {
    const __m256 signMask = _mm256_set1_ps(-0.0f);
    const __m256 z = _mm256_mul_ps(x, _mm256_set1_ps(0.70710678118654752f));
    const __m256 a = _mm256_andnot_ps(signMask, z);
    const __m256 t = _mm256_div_ps(_mm256_set1_ps(1.0f), _mm256_fmadd_ps(a, _mm256_set1_ps(0.3275911f), _mm256_set1_ps(1.0f)));
    __m256 p = _mm256_set1_ps(1.061405429f);
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-1.453152027f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(1.421413741f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(-0.284496736f));
    p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(0.254829592f));
    p = _mm256_mul_ps(p, t);
    const __m256 e = exp8(_mm256_sub_ps(_mm256_setzero_ps(), _mm256_mul_ps(a, a)));
    const __m256 erfAbs = _mm256_fnmadd_ps(p, e, _mm256_set1_ps(1.0f));
    const __m256 erf = _mm256_or_ps(erfAbs, _mm256_and_ps(signMask, z));
    const __m256 half = _mm256_mul_ps(x, _mm256_set1_ps(0.5f));
    const __m256 result = _mm256_fmadd_ps(half, erf, half);
    return _mm256_blendv_ps(result, _mm256_setzero_ps(), _mm256_cmp_ps(x, _mm256_set1_ps(-INFINITY), _CMP_EQ_OQ));
}

// gelu(-inf) is the limit 0, not the NaN of -inf * 0.
float geluScalar(float x) {
    if (x == -INFINITY) return 0.0f;
    return 0.5f * x * (1.0f + std::erf(x * 0.70710678118654752f));
}

// Eight columns at a time down the whole block, their sums held in a
// register: summing into memory row after row would wait on each store.
__attribute__((target("avx2,fma"))) void expColumnsAvx2(float* block, int64_t length, int64_t width, const float* shift,
                                                         float* sums) {
    const int64_t vectorWidth = width / 8 * 8;
    for (int64_t j = 0; j < vectorWidth; j += 8) {
        const __m256 offset = _mm256_loadu_ps(shift + j);
        __m256 sum = _mm256_loadu_ps(sums + j);
        for (int64_t i = 0; i < length; ++i) {
            float* at = block + i * width + j;
            const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(at), offset));
            _mm256_storeu_ps(at, e);
            sum = _mm256_add_ps(sum, e);
        }
        _mm256_storeu_ps(sums + j, sum);
    }
    for (int64_t j = vectorWidth; j < width; ++j) {
        float sum = sums[j];
        for (int64_t i = 0; i < length; ++i) {
            float& value = block[i * width + j];
            value = std::exp(value - shift[j]);
            sum += value;
        }
        sums[j] = sum;
    }
}

// max_ps(candidate, top) keeps top when the candidate is NaN, as the scalar
// form below does.
__attribute__((target("avx2,fma"))) void columnMaximaAvx2(const float* block, int64_t length, int64_t width, float* tops) {
    const int64_t vectorWidth = width / 8 * 8;
    for (int64_t j = 0; j < vectorWidth; j += 8) {
        __m256 top = _mm256_loadu_ps(tops + j);
        for (int64_t i = 0; i < length; ++i) top = _mm256_max_ps(_mm256_loadu_ps(block + i * width + j), top);
        _mm256_storeu_ps(tops + j, top);
    }
    for (int64_t j = vectorWidth; j < width; ++j) {
        float top = tops[j];
        for (int64_t i = 0; i < length; ++i) top = block[i * width + j] > top ? block[i * width + j] : top;
        tops[j] = top;
    }
}

// max_ps(candidate, top) keeps top when the candidate is NaN, as the plain
// form does. Four registers keep four maxima in flight.
__attribute__((target("avx2,fma"))) float largestAvx2(const float* values, int64_t count) {
    __m256 top[4];
    for (auto& t : top) t = _mm256_set1_ps(-INFINITY);
    int64_t i = 0;
    for (; i + 32 <= count; i += 32) {
        for (int j = 0; j < 4; ++j) top[j] = _mm256_max_ps(_mm256_loadu_ps(values + i + 8 * j), top[j]);
    }
    for (; i + 8 <= count; i += 8) top[0] = _mm256_max_ps(_mm256_loadu_ps(values + i), top[0]);
    const __m256 all = _mm256_max_ps(_mm256_max_ps(top[0], top[1]), _mm256_max_ps(top[2], top[3]));
    const __m128 half = _mm_max_ps(_mm256_castps256_ps128(all), _mm256_extractf128_ps(all, 1));
    const __m128 pair = _mm_max_ps(half, _mm_movehl_ps(half, half));
    float result = _mm_cvtss_f32(_mm_max_ss(pair, _mm_shuffle_ps(pair, pair, 1)));
    for (; i < count; ++i) result = values[i] > result ? values[i] : result;
    return result;
}

__attribute__((target("avx2,fma"))) void scaleAvx2(float* values, int64_t count, float factor) {
    const __m256 f = _mm256_set1_ps(factor);
    int64_t i = 0;
    for (; i + 8 <= count; i += 8) _mm256_storeu_ps(values + i, _mm256_mul_ps(_mm256_loadu_ps(values + i), f));
    for (; i < count; ++i) values[i] *= factor;
}

// Sixteen values a turn into four double sums, so that no sum waits on the
// addition before it.
__attribute__((target("avx2,fma"))) double expShiftedSumAvx2(float* values, int64_t count, float shift) {
    const __m256 offset = _mm256_set1_ps(shift);
    __m256d sums[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    int64_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(values + i), offset));
        const __m256 f = exp8(_mm256_sub_ps(_mm256_loadu_ps(values + i + 8), offset));
        _mm256_storeu_ps(values + i, e);
        _mm256_storeu_ps(values + i + 8, f);
        sums[0] = _mm256_add_pd(sums[0], _mm256_cvtps_pd(_mm256_castps256_ps128(e)));
        sums[1] = _mm256_add_pd(sums[1], _mm256_cvtps_pd(_mm256_extractf128_ps(e, 1)));
        sums[2] = _mm256_add_pd(sums[2], _mm256_cvtps_pd(_mm256_castps256_ps128(f)));
        sums[3] = _mm256_add_pd(sums[3], _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1)));
    }
    for (; i + 8 <= count; i += 8) {
        const __m256 e = exp8(_mm256_sub_ps(_mm256_loadu_ps(values + i), offset));
        _mm256_storeu_ps(values + i, e);
        sums[0] = _mm256_add_pd(sums[0], _mm256_cvtps_pd(_mm256_castps256_ps128(e)));
        sums[1] = _mm256_add_pd(sums[1], _mm256_cvtps_pd(_mm256_extractf128_ps(e, 1)));
    }
    double lanes[4];
    _mm256_storeu_pd(lanes, _mm256_add_pd(_mm256_add_pd(sums[0], sums[1]), _mm256_add_pd(sums[2], sums[3])));
    double sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    for (; i < count; ++i) sum += (values[i] = std::exp(values[i] - shift));
    return sum;
}

__attribute__((target("avx2,fma"))) void geluAvx2(const float* in, float* out, int64_t count) {
    int64_t i = 0;
    for (; i + 8 <= count; i += 8) _mm256_storeu_ps(out + i, gelu8(_mm256_loadu_ps(in + i)));
    for (; i < count; ++i) out[i] = geluScalar(in[i]);
}

bool hasAvx2() {
    return vectorMathInstructions() == InstructionSet::avx2;
}

}  // namespace

InstructionSet vectorMathInstructions() {
    return instructionSetUpTo(InstructionSet::avx2);
}

double expShiftedSum(float* values, int64_t count, float shift) {
    if (hasAvx2()) return expShiftedSumAvx2(values, count, shift);
    double sum = 0;
    for (int64_t i = 0; i < count; ++i) sum += (values[i] = std::exp(values[i] - shift));
    return sum;
}

float largest(const float* values, int64_t count) {
    if (hasAvx2()) return largestAvx2(values, count);
    float top = -INFINITY;
    for (int64_t i = 0; i < count; ++i) top = values[i] > top ? values[i] : top;
    return top;
}

void scaleInPlace(float* values, int64_t count, float factor) {
    if (hasAvx2()) return scaleAvx2(values, count, factor);
    for (int64_t i = 0; i < count; ++i) values[i] *= factor;
}

void columnMaxima(const float* block, int64_t length, int64_t width, float* tops) {
    if (hasAvx2()) return columnMaximaAvx2(block, length, width, tops);
    for (int64_t i = 0; i < length; ++i) {
        const float* row = block + i * width;
        for (int64_t j = 0; j < width; ++j) tops[j] = row[j] > tops[j] ? row[j] : tops[j];
    }
}

void expColumnsInPlace(float* block, int64_t length, int64_t width, const float* shift, float* sums) {
    if (hasAvx2()) return expColumnsAvx2(block, length, width, shift, sums);
    for (int64_t i = 0; i < length; ++i) {
        float* row = block + i * width;
        for (int64_t j = 0; j < width; ++j) {
            row[j] = std::exp(row[j] - shift[j]);
            sums[j] += row[j];
        }
    }
}

void geluExact(const float* in, float* out, int64_t count) {
    if (hasAvx2()) return geluAvx2(in, out, count);
    std::transform(in, in + count, out, geluScalar);
}

}  // namespace platform::coreml::runtime
