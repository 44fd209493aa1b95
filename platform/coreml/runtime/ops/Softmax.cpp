#include "platform/coreml/runtime/ops/Softmax.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/coreml/runtime/ops/VectorMath.h"

namespace platform::coreml::runtime {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// The softmax of a line with an infinite maximum, as the limit of finite ones.
void infiniteLine(float* line, int64_t length, int64_t stride, float top) {
    if (top < 0) {
        for (int64_t i = 0; i < length; ++i) line[i * stride] = 0.0f;
        return;
    }
    int64_t infinities = 0;
    for (int64_t i = 0; i < length; ++i) infinities += line[i * stride] == kInfinity;
    const float share = 1.0f / static_cast<float>(infinities);
    for (int64_t i = 0; i < length; ++i) line[i * stride] = line[i * stride] == kInfinity ? share : 0.0f;
}

}  // namespace

void softmaxRow(float* row, int64_t length) {
    const float top = largest(row, length);
    if (std::isinf(top)) return infiniteLine(row, length, 1, top);
    scaleInPlace(row, length, static_cast<float>(1.0 / expShiftedSum(row, length, top)));
}

void softmaxColumns(float* block, int64_t length, int64_t width) {
    std::vector<float> tops(static_cast<size_t>(width), -kInfinity);
    columnMaxima(block, length, width, tops.data());
    // Columns with an infinite maximum are kept aside, run through the
    // vector pass with a harmless maximum, and settled afterwards.
    std::vector<int64_t> infinite;
    std::vector<float> saved;
    for (int64_t j = 0; j < width; ++j) {
        if (!std::isinf(tops[j])) continue;
        infinite.push_back(j);
        for (int64_t i = 0; i < length; ++i) saved.push_back(block[i * width + j]);
    }
    std::vector<float> shift = tops;
    for (int64_t j : infinite) shift[j] = 0.0f;
    std::vector<float> sums(static_cast<size_t>(width), 0.0f);
    expColumnsInPlace(block, length, width, shift.data(), sums.data());
    for (float& s : sums) s = 1.0f / s;
    for (int64_t i = 0; i < length; ++i) {
        float* row = block + i * width;
        for (int64_t j = 0; j < width; ++j) row[j] *= sums[j];
    }
    for (size_t c = 0; c < infinite.size(); ++c) {
        const int64_t j = infinite[c];
        for (int64_t i = 0; i < length; ++i) block[i * width + j] = saved[c * static_cast<size_t>(length) + i];
        infiniteLine(block + j, length, width, tops[j]);
    }
}

}  // namespace platform::coreml::runtime
