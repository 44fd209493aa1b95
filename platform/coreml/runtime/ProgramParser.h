#pragma once

#include <string_view>

#include "platform/coreml/runtime/Program.h"

namespace platform::coreml::runtime {

// Parses the text of `model.mil` in either dialect (`program(1.0)`, whose
// scalars read `tensor<int32, []>(1)`, and `program(1.3)`, whose scalars read
// `int32(1)`). Inline literals become tensors checked against their declared
// shape; weight-file constants stay references. Throws ModelLoadError
// (malformedProgram) naming the line.
Program parseProgram(std::string_view text);

}  // namespace platform::coreml::runtime
