#include "mlcore/foundation/MLModelExtensions.h"

#include "platform/concurrency/Task.h"

namespace celvan {

using platform::MLComputeUnits;

std::shared_ptr<platform::MLFeatureProvider> asyncPrediction(const platform::MLModel& model,
                                                             const platform::MLFeatureProvider& input,
                                                             const platform::MLPredictionOptions& options) {
    // value() waits for the body however the caller's task fares, so the
    // references stay valid for as long as the prediction runs.
    platform::Task<std::shared_ptr<platform::MLFeatureProvider>> prediction(
        [&model, &input, options] { return model.prediction(input, options); });
    return prediction.value();
}

std::string description(MLComputeUnits computeUnits) {
    switch (computeUnits) {
        case MLComputeUnits::cpuOnly: return "cpuOnly";
        case MLComputeUnits::cpuAndGPU: return "cpuAndGPU";
        case MLComputeUnits::all: return "all";
        case MLComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown";
}

std::string displayName(MLComputeUnits computeUnits) {
    switch (computeUnits) {
        case MLComputeUnits::cpuOnly: return "CPU";
        case MLComputeUnits::cpuAndGPU: return "GPU";
        case MLComputeUnits::all: return "All";
        case MLComputeUnits::cpuAndNeuralEngine: return "Neural Engine";
    }
    return "Unknown";
}

}  // namespace celvan
