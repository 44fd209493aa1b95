#pragma once

#include <cstdint>

namespace platform {

// Which processors a model may run on, with the platform's raw values. Our
// runtime computes on the CPU whatever is chosen.
enum class MLComputeUnits : int64_t {
    cpuOnly = 0,
    cpuAndGPU = 1,
    all = 2,
    cpuAndNeuralEngine = 3,
};

}  // namespace platform
