#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/coreml/runtime/ops/Softmax.h"
#include "platform/coreml/runtime/ops/VectorMath.h"

namespace platform::coreml::runtime {
namespace {

// The vector maximum and scaling must give the very bits of the plain loops
// on every path, at every length a vector loop can leave a tail after, with
// masked entries in the line and the largest value anywhere in it.
TEST(Softmax, LineMaximumAndScalingGiveTheBitsOfThePlainLoops) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> uniform(-8.0f, 8.0f);
    for (int64_t length : {1, 7, 8, 9, 31, 32, 33, 47, 224, 1500}) {
        for (int64_t peak = 0; peak < length; peak += std::max<int64_t>(1, length / 5)) {
            std::vector<float> line(static_cast<size_t>(length));
            for (auto& v : line) v = uniform(random);
            for (size_t i = 3; i < line.size(); i += 11) line[i] = -INFINITY;
            line[static_cast<size_t>(peak)] = 9.0f;

            std::vector<float> expected = line;
            float top = -INFINITY;
            for (float v : expected) top = v > top ? v : top;
            const auto scale = static_cast<float>(1.0 / expShiftedSum(expected.data(), length, top));
            for (float& v : expected) v *= scale;

            softmaxRow(line.data(), length);
            ASSERT_EQ(std::memcmp(line.data(), expected.data(), line.size() * sizeof(float)), 0)
                << "length " << length << ", largest at " << peak;
        }
    }
}

}  // namespace
}  // namespace platform::coreml::runtime
