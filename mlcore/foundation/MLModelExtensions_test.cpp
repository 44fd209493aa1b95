#include "mlcore/foundation/MLModelExtensions.h"

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <stdexcept>

#include "platform/concurrency/Task.h"
#include "platform/coreml/MLDictionaryFeatureProvider.h"
#include "platform/coreml/MLModelError.h"
#include "platform/coreml/MLShapedArray.h"

namespace celvan {
namespace {

using platform::MLDictionaryFeatureProvider;
using platform::MLFeatureValue;
using platform::MLModel;
using platform::MLMultiArray;

std::shared_ptr<MLMultiArray> counts(int32_t value) {
    return std::make_shared<MLMultiArray>(platform::MLShapedArray<int32_t>({value}, {1}));
}

// A model that adds one to "n"; before answering it waits for `release`.
std::shared_ptr<MLModel> incrementingModel(std::shared_future<void> release = {}) {
    platform::MLModelDescription description;
    description.inputDescriptionsByName["n"] = {
        "n", platform::MLFeatureType::multiArray, false,
        platform::MLMultiArrayConstraint{{1}, platform::MLMultiArrayDataType::int32}};
    return std::make_shared<MLModel>(description, [release](const platform::MLFeatureProvider& input,
                                                            const platform::MLPredictionOptions&) {
        if (release.valid()) {
            release.wait();
        }
        const int32_t n = input.featureValue("n")->multiArrayValue()->buffer<int32_t>()[0];
        if (n < 0) {
            throw std::domain_error("negative input");
        }
        return std::make_shared<MLDictionaryFeatureProvider>(
            std::map<std::string, MLFeatureValue>{{"next", MLFeatureValue(counts(n + 1))}});
    });
}

int32_t next(const platform::MLFeatureProvider& output) {
    return output.featureValue("next")->multiArrayValue()->buffer<int32_t>()[0];
}

TEST(AsyncPrediction, GivesWhatTheSynchronousPredictionGives) {
    const auto model = incrementingModel();
    for (int32_t n : {0, 41, 2147483646}) {
        const MLDictionaryFeatureProvider input({{"n", MLFeatureValue(counts(n))}});
        EXPECT_EQ(next(*asyncPrediction(*model, input, {})), next(*model->prediction(input, {})));
    }
}

TEST(AsyncPrediction, PassesTheModelsErrorsOnUnchanged) {
    const auto model = incrementingModel();
    try {
        asyncPrediction(*model, MLDictionaryFeatureProvider({}), {});
        ADD_FAILURE() << "predicted without its input";
    } catch (const platform::MLModelError& error) {
        EXPECT_EQ(error.kind(), platform::MLModelError::Kind::featureType);
    }
    EXPECT_THROW(asyncPrediction(*model, MLDictionaryFeatureProvider({{"n", MLFeatureValue(counts(-1))}}), {}),
                 std::domain_error);
}

TEST(AsyncPrediction, DeliversItsResultToACallerCancelledMeanwhile) {
    std::promise<void> release;
    const auto model = incrementingModel(release.get_future().share());
    const MLDictionaryFeatureProvider input({{"n", MLFeatureValue(counts(6))}});
    platform::Task caller([&] { return next(*asyncPrediction(*model, input, {})); });
    caller.cancel();
    release.set_value();
    EXPECT_EQ(caller.value(), 7);
}

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
