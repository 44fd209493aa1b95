#include "platform/coreml/runtime/Half.h"

#include <immintrin.h>

namespace platform::coreml::runtime {
namespace {

__attribute__((target("f16c,avx"))) void widenF16C(const Float16* source, float* target, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        _mm256_storeu_ps(target + i, _mm256_cvtph_ps(half));
    }
    for (; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

__attribute__((target("f16c,avx"))) void narrowF16C(const float* source, Float16* target, size_t count) {
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i half = _mm256_cvtps_ph(_mm256_loadu_ps(source + i), _MM_FROUND_TO_NEAREST_INT);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(target + i), half);
    }
    for (; i < count; ++i) target[i] = static_cast<Float16>(source[i]);
}

bool hasF16C() {
    return halfConversionInstructions() == InstructionSet::avx2;
}

}  // namespace

InstructionSet halfConversionInstructions() {
    return instructionSetUpTo(InstructionSet::avx2);
}

void widen(const Float16* source, float* target, size_t count) {
    if (hasF16C()) return widenF16C(source, target, count);
    for (size_t i = 0; i < count; ++i) target[i] = static_cast<float>(source[i]);
}

void narrow(const float* source, Float16* target, size_t count) {
    if (hasF16C()) return narrowF16C(source, target, count);
    for (size_t i = 0; i < count; ++i) target[i] = static_cast<Float16>(source[i]);
}

}  // namespace platform::coreml::runtime
