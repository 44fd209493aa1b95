#pragma once

namespace platform::coreml::runtime {

// The vector instructions our kernels are written for, narrowest first: avx2
// with FMA and F16C, avx512 with AVX-512 F, BW, VL and DQ.
enum class InstructionSet { plain, avx2, avx512 };

// The widest set this processor runs, held below oneDNN's own cap
// (ONEDNN_MAX_CPU_ISA, such as AVX2 or AVX512_CORE) so that one setting keeps
// every kernel, ours and oneDNN's, on one path: a machine with AVX-512 then
// runs and measures what one with AVX2 alone would. A cap below AVX2 gives the
// plain path. Every kernel that picks its instructions asks this.
InstructionSet instructionSet();

// The set a kernel family written for sets up to `widest` runs.
InstructionSet instructionSetUpTo(InstructionSet widest);

// "plain", "avx2" or "avx512".
const char* description(InstructionSet set);

}  // namespace platform::coreml::runtime
