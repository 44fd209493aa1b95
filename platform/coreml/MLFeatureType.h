#pragma once

namespace platform {

// Kinds of model inputs and outputs, with the platform's raw values.
enum class MLFeatureType {
    invalid = 0,
    int64 = 1,
    double_ = 2,
    string = 3,
    image = 4,
    multiArray = 5,
    dictionary = 6,
    sequence = 7,
    state = 8,
};

}  // namespace platform
