#pragma once

namespace platform {

// IEEE 754 binary16, the element type of half-precision model tensors.
using Float16 = _Float16;

} // namespace platform
