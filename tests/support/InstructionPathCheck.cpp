// Linked into a test binary whose tests run once per instruction path
// (dictaro_add_test's INSTRUCTION_PATHS): checks, before any test, that the
// kernels took the path the run's cap names, and skips the run when this
// processor lacks that path, since it would only repeat a narrower one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/coreml/runtime/InstructionSet.h"

namespace {

using platform::coreml::runtime::InstructionSet;

// The caps the test runs set, and the path each names.
std::optional<InstructionSet> namedPath(const std::string& cap) {
    if (cap == "SSE41") return InstructionSet::plain;
    if (cap == "AVX2") return InstructionSet::avx2;
    if (cap == "AVX512_CORE") return InstructionSet::avx512;
    return std::nullopt;
}

InstructionSet processorsWidest() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma") || !__builtin_cpu_supports("f16c")) {
        return InstructionSet::plain;
    }
    const bool avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
    return avx512 ? InstructionSet::avx512 : InstructionSet::avx2;
}

class InstructionPathCheck : public testing::Environment {
public:
    void SetUp() override {
        const char* cap = std::getenv("ONEDNN_MAX_CPU_ISA");
        const std::optional<InstructionSet> named = cap ? namedPath(cap) : std::nullopt;
        if (!named) return;
        if (*named > processorsWidest()) GTEST_SKIP() << "this processor has no " << description(*named) << " path";
        ASSERT_STREQ(description(platform::coreml::runtime::instructionSet()), description(*named)) << "under the cap " << cap;
    }
};

[[maybe_unused]] testing::Environment* const check = testing::AddGlobalTestEnvironment(new InstructionPathCheck);

}  // namespace
