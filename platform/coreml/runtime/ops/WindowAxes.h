#pragma once

#include <cstdint>
#include <vector>

#include "platform/coreml/runtime/Operation.h"

namespace platform::coreml::runtime {

// One spatial axis of a convolution or pooling window, padding resolved.
struct Axis {
    int64_t input = 0;
    int64_t kernel = 1;
    int64_t stride = 1;
    int64_t dilation = 1;
    int64_t before = 0;
    int64_t after = 0;
    int64_t output = 0;
};

// Reads strides, dilations, pad_type and pad for the spatial axes of a
// convolution or pooling window and resolves each axis's padding and output
// size. With `ceilMode` a last partial window counts when it starts inside
// the input.
std::vector<Axis> resolveAxes(OpBuilder& b, const Shape& spatial, const Shape& kernel, bool ceilMode = false);

}  // namespace platform::coreml::runtime
