#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/coreml/runtime/Shape.h"

namespace testsupport::reference {

using platform::coreml::runtime::Shape;

// Plain, index-by-index implementations of the ops' meaning, written for
// clarity rather than speed, that the runtime's kernels are checked against.
// Tensors are row-major float vectors with a shape.
struct Array {
    Shape shape;
    std::vector<float> values;

    float at(const std::vector<int64_t>& index) const;
    float& at(const std::vector<int64_t>& index);
};

Array filled(const Shape& shape, uint32_t seed, float scale = 1.0f);
std::vector<std::vector<int64_t>> allIndices(const Shape& shape);

// NumPy broadcasting of x and y through `op`.
Array broadcast(const Array& x, const Array& y, float (*op)(float, float));
Array matmul(const Array& x, const Array& y, bool transposeX, bool transposeY);
// x [N, C, H, W], weight [Cout, C/groups, KH, KW]; pads as [top, bottom, left, right].
Array conv2d(const Array& x, const Array& weight, const std::vector<float>& bias, const std::vector<int64_t>& strides,
             const std::vector<int64_t>& dilations, const std::vector<int64_t>& pads, int64_t groups);
Array layerNorm(const Array& x, const std::vector<int64_t>& axes, const std::vector<float>& gamma,
                const std::vector<float>& beta, float epsilon);
Array softmax(const Array& x, int64_t axis);
Array sliceByIndex(const Array& x, const std::vector<int64_t>& begin, const std::vector<int64_t>& end,
                   const std::vector<int64_t>& stride);
Array gather(const Array& x, const std::vector<int64_t>& indices, const Shape& indexShape, int64_t axis);
// mode "constant", "reflect" or "replicate"; pads as [before, after] for the last dimensions.
Array pad(const Array& x, const std::vector<int64_t>& pads, const std::string& mode, float value);
Array einsum(const std::string& equation, const Array& x, const Array& y);

}  // namespace testsupport::reference
