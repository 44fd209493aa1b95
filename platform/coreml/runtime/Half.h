#pragma once

#include <cstddef>

#include "platform/coreml/runtime/InstructionSet.h"
#include "platform/foundation/Float16.h"

namespace platform::coreml::runtime {

// Bulk conversions used wherever fp16 storage meets fp32 arithmetic. They use
// the processor's conversion instructions when it has them; values beyond the
// fp16 range become infinities, as the hardware would store them.
void widen(const Float16* source, float* target, size_t count);
void narrow(const float* source, Float16* target, size_t count);

// The instructions widen and narrow run.
InstructionSet halfConversionInstructions();

}  // namespace platform::coreml::runtime
