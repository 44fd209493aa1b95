#pragma once

#include <optional>

#include "platform/coreml/MLComputeUnits.h"

namespace sonoscribe {

// On which processors each of the three model stages runs.
struct ModelComputeOptions {
    platform::MLComputeUnits melCompute = platform::MLComputeUnits::cpuAndGPU;
    platform::MLComputeUnits audioEncoderCompute = platform::MLComputeUnits::cpuAndNeuralEngine;
    platform::MLComputeUnits textDecoderCompute = platform::MLComputeUnits::cpuAndNeuralEngine;

    ModelComputeOptions() = default;
    // An unset encoder choice takes the default above.
    ModelComputeOptions(platform::MLComputeUnits melCompute,
                        std::optional<platform::MLComputeUnits> audioEncoderCompute,
                        platform::MLComputeUnits textDecoderCompute)
        : melCompute(melCompute),
          audioEncoderCompute(audioEncoderCompute.value_or(platform::MLComputeUnits::cpuAndNeuralEngine)),
          textDecoderCompute(textDecoderCompute) {}

    bool operator==(const ModelComputeOptions&) const = default;
};

}  // namespace sonoscribe
