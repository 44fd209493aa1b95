#pragma once

#include <memory>
#include <string>

#include "platform/coreml/MLComputeUnits.h"
#include "platform/coreml/MLFeatureProvider.h"
#include "platform/coreml/MLModel.h"
#include "platform/coreml/MLPredictionOptions.h"

namespace celvan {

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine", or "unknown".
std::string description(platform::MLComputeUnits computeUnits);

// "CPU", "GPU", "All", "Neural Engine", or "Unknown".
std::string displayName(platform::MLComputeUnits computeUnits);

}  // namespace celvan
