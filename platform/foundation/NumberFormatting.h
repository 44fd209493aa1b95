#pragma once

#include <string>

#include "platform/foundation/Float16.h"

namespace platform {

// The text every module prints for a number: the shortest digits that read
// back to the same value, "1.0" for whole numbers, exponent form ("1e+16",
// "1e-05") for very large or small magnitudes, and "inf", "-inf", "nan".
std::string description(double value);
std::string description(float value);
std::string description(Float16 value);

} // namespace platform
