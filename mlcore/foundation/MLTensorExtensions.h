#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/coreml/MLMultiArray.h"
#include "platform/coreml/MLTensor.h"

namespace celvan {

// Readers of a tensor of Float16, float or int32 scalars, in row-major order.
// Any other scalar type throws std::invalid_argument with
// "Unsupported scalar type: " and the type's name.

// Whole numbers; float scalars are truncated towards zero, and one that is
// not finite or does not fit throws std::out_of_range.
std::vector<int64_t> toIntArray(const platform::MLTensor& tensor);

// Half floats widened, integers rounded to the nearest float.
std::vector<float> toFloatArray(const platform::MLTensor& tensor);

// A new contiguous array of the tensor's shape and element type.
std::shared_ptr<platform::MLMultiArray> toMLMultiArray(const platform::MLTensor& tensor);

}  // namespace celvan
