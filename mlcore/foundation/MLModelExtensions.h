#pragma once

#include <memory>
#include <string>

#include "platform/coreml/MLComputeUnits.h"
#include "platform/coreml/MLFeatureProvider.h"
#include "platform/coreml/MLModel.h"
#include "platform/coreml/MLPredictionOptions.h"

namespace celvan {

// One prediction run as a task on the shared pool; the caller waits for it
// (also when its own task is cancelled meanwhile) and gets the model's result
// or its error unchanged.
std::shared_ptr<platform::MLFeatureProvider> asyncPrediction(const platform::MLModel& model,
                                                             const platform::MLFeatureProvider& input,
                                                             const platform::MLPredictionOptions& options);

// "cpuOnly", "cpuAndGPU", "all", "cpuAndNeuralEngine", or "unknown".
std::string description(platform::MLComputeUnits computeUnits);

// "CPU", "GPU", "All", "Neural Engine", or "Unknown".
std::string displayName(platform::MLComputeUnits computeUnits);

}  // namespace celvan
