#pragma once

#include "platform/coreml/MLComputeUnits.h"

namespace platform {

struct MLModelConfiguration {
    MLComputeUnits computeUnits = MLComputeUnits::all;
};

}  // namespace platform
