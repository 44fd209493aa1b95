#include "platform/coreml/runtime/ops/TileProduct.h"

#include <cstring>

#include "platform/coreml/runtime/InstructionSet.h"
#include "platform/coreml/runtime/ops/DnnlMatmul.h"

namespace platform::coreml::runtime {
namespace {

using Tag = dnnl::memory::format_tag;
using Type = dnnl::memory::data_type;

uint32_t bitsOf(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Rounded to nearest, ties to even. Written without branches so that the
// loops over whole rows vectorise.
BFloat16Bits roundToBFloat16(float value) {
    const uint32_t bits = bitsOf(value);
    const bool special = (bits & 0x7f800000u) == 0x7f800000u;
    // A NaN stays a NaN: its payload may lie wholly in the dropped bits.
    const uint32_t kept = (bits >> 16) | ((bits & 0x007fffffu) != 0 ? 0x40u : 0u);
    const uint32_t rounded = (bits + 0x7fffu + ((bits >> 16) & 1u)) >> 16;
    // A finite value above the largest bf16 would round to infinity, and high
    // + low to NaN: it keeps the largest instead, with the rest in low.
    const bool overflows = (rounded & 0x7f80u) == 0x7f80u;
    return static_cast<BFloat16Bits>(special ? kept : overflows ? bits >> 16 : rounded);
}

}  // namespace

bool tileProductsAvailable() {
    static const bool available = dnnlKernelsAllowed() && instructionSet() == InstructionSet::avx512 &&
                                  dnnl::get_effective_cpu_isa() == dnnl::cpu_isa::avx512_core_amx;
    return available;
}

float widenBFloat16(BFloat16Bits half) {
    const uint32_t bits = static_cast<uint32_t>(half) << 16;
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

namespace {

[[gnu::always_inline]] inline void splitValues(const float* values, int64_t count, BFloat16Bits* high,
                                               BFloat16Bits* low) {
    for (int64_t i = 0; i < count; ++i) {
        const float value = values[i];
        const BFloat16Bits h = roundToBFloat16(value);
        const bool finite = (bitsOf(value) & 0x7f800000u) != 0x7f800000u;
        high[i] = h;
        low[i] = finite ? roundToBFloat16(value - widenBFloat16(h)) : BFloat16Bits{0};
    }
}

// The same loop where the processor can select per lane: the compiler turns
// its conditions into masks only with AVX-512, and leaves it scalar without.
__attribute__((target("avx512f,avx512bw,avx512vl"))) void splitValuesAvx512(const float* values, int64_t count,
                                                                             BFloat16Bits* high, BFloat16Bits* low) {
    splitValues(values, count, high, low);
}

}  // namespace

InstructionSet bfloat16SplitInstructions() {
    return instructionSetUpTo(InstructionSet::avx512);
}

void splitToBFloat16(const float* values, int64_t count, BFloat16Bits* high, BFloat16Bits* low) {
    if (bfloat16SplitInstructions() == InstructionSet::avx512) return splitValuesAvx512(values, count, high, low);
    splitValues(values, count, high, low);
}

void tileProductOnThisThread(const BFloat16Bits* a, int64_t m, const BFloat16Bits* b, int64_t n, int64_t k,
                             float* out) {
    if (m == 0 || n == 0) return;
    const dnnl::memory::desc aLayout({m, k}, Type::bf16, Tag::ab), bLayout({k, n}, Type::bf16, Tag::ba),
        outLayout({m, n}, Type::f32, Tag::ab);
    dnnlMatmulOnThisThread(aLayout, a, bLayout, b, outLayout, out);
}

}  // namespace platform::coreml::runtime
