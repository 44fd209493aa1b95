#pragma once

#include <ostream>

#include "mlcore/foundation/ModelState.h"

namespace celvan {

// Test failures name a state by its text rather than its bytes.
inline void PrintTo(ModelState state, std::ostream* stream) { *stream << description(state); }

}  // namespace celvan
