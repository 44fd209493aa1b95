#include "platform/coreml/runtime/InstructionSet.h"

#include <algorithm>
#include <oneapi/dnnl/dnnl.hpp>

namespace platform::coreml::runtime {
namespace {

// oneDNN reads its cap once, accepting the names and spellings it documents,
// and reports the widest set both the cap and the processor allow. Each of
// its sets holds the bits of those it includes.
bool allows(dnnl::cpu_isa effective, dnnl::cpu_isa set) {
    const auto bits = static_cast<unsigned>(set);
    return (static_cast<unsigned>(effective) & bits) == bits;
}

}  // namespace

InstructionSet instructionSet() {
    static const InstructionSet allowed = [] {
        const dnnl::cpu_isa effective = dnnl::get_effective_cpu_isa();
        // oneDNN's avx2 does not promise the FMA and F16C that ours use.
        if (!allows(effective, dnnl::cpu_isa::avx2) || !__builtin_cpu_supports("fma") ||
            !__builtin_cpu_supports("f16c")) {
            return InstructionSet::plain;
        }
        return allows(effective, dnnl::cpu_isa::avx512_core) ? InstructionSet::avx512 : InstructionSet::avx2;
    }();
    return allowed;
}

InstructionSet instructionSetUpTo(InstructionSet widest) {
    return std::min(instructionSet(), widest);
}

const char* description(InstructionSet set) {
    switch (set) {
        case InstructionSet::plain: return "plain";
        case InstructionSet::avx2: return "avx2";
        case InstructionSet::avx512: return "avx512";
    }
    return "plain";
}

}  // namespace platform::coreml::runtime
