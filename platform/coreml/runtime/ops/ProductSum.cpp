#include "platform/coreml/runtime/ops/ProductSum.h"

#include <immintrin.h>

#include <algorithm>

#include "platform/coreml/runtime/ElementwiseFusion.h"
#include "platform/coreml/runtime/Half.h"
#include "platform/coreml/runtime/ops/FloatBlocks.h"

namespace platform::coreml::runtime {
namespace {

// Where one factor's values of a block lie: adjacent fp16 or fp32 elements,
// or one value for the whole block, read from `repeated` when it lies among
// the factor's widened values.
struct FactorRun {
    const Float16* halves = nullptr;
    const float* floats = nullptr;
    const float* repeated = nullptr;
    float value = 0;

    // The same factor's run `step` elements further on.
    void advance(int64_t step) {
        if (halves) halves += step;
        if (floats) floats += step;
        if (repeated) value = *(repeated += step);
    }
};

float load1(const FactorRun& run, int64_t i) {
    return run.halves ? static_cast<float>(run.halves[i]) : run.floats ? run.floats[i] : run.value;
}

// Results [from, n) of the block.
void productSumPlain(const FactorRun* runs, int64_t from, int64_t n, float* floatsOut, Float16* halvesOut) {
    for (int64_t i = from; i < n; ++i) {
        const float sum = load1(runs[0], i) * load1(runs[1], i) + load1(runs[2], i) * load1(runs[3], i);
        if (halvesOut) {
            halvesOut[i] = static_cast<Float16>(sum);
        } else {
            floatsOut[i] = sum;
        }
    }
}

__attribute__((target("avx,f16c"))) inline __m256 load8(const FactorRun& run, int64_t i) {
    if (run.halves) return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(run.halves + i)));
    if (run.floats) return _mm256_loadu_ps(run.floats + i);
    return _mm256_set1_ps(run.value);
}

// The products and the sum stay in registers, and so do the runs: they are
// copied in, since the compiler cannot tell that the stores to the output
// leave the caller's runs alone and would load them again. AVX without FMA, so
// that the multiplies and the add are never contracted into one rounding.
__attribute__((target("avx,f16c"))) void productSumVectorised(const FactorRun* given, int64_t n, float* floatsOut,
                                                              Float16* halvesOut) {
    const FactorRun runs[4] = {given[0], given[1], given[2], given[3]};
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256 sum = _mm256_add_ps(_mm256_mul_ps(load8(runs[0], i), load8(runs[1], i)),
                                         _mm256_mul_ps(load8(runs[2], i), load8(runs[3], i)));
        if (halvesOut) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(halvesOut + i), _mm256_cvtps_ph(sum, _MM_FROUND_TO_NEAREST_INT));
        } else {
            _mm256_storeu_ps(floatsOut + i, sum);
        }
    }
    productSumPlain(runs, i, n, floatsOut, halvesOut);
}

// Factor f's values for result elements [at, at + n): where they lie when
// that is one place, else copied into `buffer`.
FactorRun runOf(const BroadcastLayout& layout, const ProductFactor& f, int64_t at, int64_t n, float* buffer) {
    FactorRun run;
    if (layout.isUniform(f.leaf)) {
        run.value = static_cast<float>(f.tensor->number(0));
    } else if (layout.isDense(f.leaf)) {
        if (f.tensor->dataType() == DataType::Float16) {
            run.halves = f.tensor->data<Float16>() + at;
        } else {
            run.floats = f.tensor->data<float>() + at;
        }
    } else if (const auto place = layout.runOf(f.leaf, at, n)) {
        const float* values = f.widened + place->offset;
        if (place->repeats) {
            run.repeated = values;
            run.value = *values;
        } else {
            run.floats = values;
        }
    } else {
        run.floats = layout.read(f.leaf, f.widened, at, n, buffer);
    }
    return run;
}

}  // namespace

void productSumOver(const BroadcastLayout& layout, const ProductFactor (&factors)[4], int64_t begin, int64_t end,
                    Tensor& out, int64_t outAt) {
    const bool vectorised = elementwiseFusionInstructions() == InstructionSet::avx2;
    const bool halves = out.dataType() == DataType::Float16;
    float* floatsOut = halves ? nullptr : out.mutableData<float>() + outAt;
    Float16* halvesOut = halves ? out.mutableData<Float16>() + outAt : nullptr;
    const int64_t rowLength = layout.rowLength();
    float buffers[4][kFloatBlock];
    for (int64_t at = begin; at < end;) {
        const int64_t n = layout.blockLength(at, std::min(kFloatBlock, end - at));
        FactorRun runs[4];
        for (size_t i = 0; i < 4; ++i) runs[i] = runOf(layout, factors[i], at, n, buffers[i]);
        // The whole rows after a whole row lie a fixed step further on in
        // every factor: their runs are found without dividing positions.
        const bool wholeRow = n == rowLength && at % rowLength == 0;
        const int64_t rows = wholeRow ? std::min(layout.rowsFrom(at), (end - at) / n) : 1;
        for (int64_t r = 0; r < rows; ++r, at += n) {
            if (r > 0) {
                for (size_t i = 0; i < 4; ++i) runs[i].advance(layout.rowStride(factors[i].leaf));
            }
            float* floatsAt = floatsOut ? floatsOut + (at - begin) : nullptr;
            Float16* halvesAt = halvesOut ? halvesOut + (at - begin) : nullptr;
            if (vectorised) {
                productSumVectorised(runs, n, floatsAt, halvesAt);
            } else {
                productSumPlain(runs, 0, n, floatsAt, halvesAt);
            }
        }
    }
}

}  // namespace platform::coreml::runtime
