#include "mlcore/foundation/MLModelExtensions.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

TEST(MLComputeUnitsNames, CoverTheFourChoicesAndAnyOtherValue) {
    using platform::MLComputeUnits;
    struct Case {
        int64_t raw;
        const char* description;
        const char* displayName;
    };
    for (const Case& c : {Case{0, "cpuOnly", "CPU"}, Case{1, "cpuAndGPU", "GPU"}, Case{2, "all", "All"},
                          Case{3, "cpuAndNeuralEngine", "Neural Engine"}, Case{4, "unknown", "Unknown"},
                          Case{-1, "unknown", "Unknown"}}) {
        const auto units = static_cast<MLComputeUnits>(c.raw);
        EXPECT_EQ(description(units), c.description);
        EXPECT_EQ(displayName(units), c.displayName);
    }
}

}  // namespace
}  // namespace celvan
