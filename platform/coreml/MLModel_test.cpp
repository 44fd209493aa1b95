#include "platform/coreml/MLModel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/coreml/MLDictionaryFeatureProvider.h"
#include "platform/coreml/MLModelError.h"
#include "platform/coreml/MLMultiArray.h"
#include "platform/coreml/MLShapedArray.h"

namespace platform {
namespace {

std::shared_ptr<MLMultiArray> floats(std::vector<float> values) {
    auto array = std::make_shared<MLMultiArray>(std::vector<int64_t>{static_cast<int64_t>(values.size())},
                                                MLMultiArrayDataType::float32);
    std::copy(values.begin(), values.end(), array->buffer<float>().begin());
    return array;
}

MLFeatureDescription multiArrayFeature(const std::string& name, bool isOptional = false) {
    return {name, MLFeatureType::multiArray, isOptional,
            MLMultiArrayConstraint{{4}, MLMultiArrayDataType::float32}};
}

// A model that doubles "x" into "y".
std::shared_ptr<MLModel> doublingModel(std::atomic<int>* calls = nullptr) {
    MLModelDescription description;
    description.inputDescriptionsByName["x"] = multiArrayFeature("x");
    description.inputDescriptionsByName["bias"] = multiArrayFeature("bias", true);
    description.outputDescriptionsByName["y"] = multiArrayFeature("y");
    return std::make_shared<MLModel>(
        description,
        [calls](const MLFeatureProvider& input, const MLPredictionOptions&) {
            if (calls) {
                ++*calls;
            }
            const auto x = input.featureValue("x")->multiArrayValue();
            std::vector<float> y;
            for (float value : x->buffer<float>()) {
                y.push_back(2 * value);
            }
            return std::make_shared<MLDictionaryFeatureProvider>(
                std::map<std::string, MLFeatureValue>{{"y", MLFeatureValue(floats(y))}});
        },
        MLModelConfiguration{MLComputeUnits::cpuOnly});
}

TEST(MLFeatureValue, AnswersOnlyForItsOwnType) {
    const auto array = floats({1});
    const MLFeatureValue arrayValue(array);
    const MLFeatureValue intValue(int64_t{-7});
    const MLFeatureValue doubleValue(0.25);
    const MLFeatureValue stringValue(std::string("text"));

    EXPECT_EQ(arrayValue.type(), MLFeatureType::multiArray);
    EXPECT_EQ(arrayValue.multiArrayValue(), array);
    EXPECT_EQ(arrayValue.int64Value(), 0);
    EXPECT_EQ(intValue.type(), MLFeatureType::int64);
    EXPECT_EQ(intValue.int64Value(), -7);
    EXPECT_EQ(intValue.multiArrayValue(), nullptr);
    EXPECT_EQ(doubleValue.type(), MLFeatureType::double_);
    EXPECT_EQ(doubleValue.doubleValue(), 0.25);
    EXPECT_EQ(doubleValue.stringValue(), "");
    EXPECT_EQ(stringValue.type(), MLFeatureType::string);
    EXPECT_EQ(stringValue.stringValue(), "text");
    EXPECT_EQ(stringValue.doubleValue(), 0.0);
    EXPECT_THROW(MLFeatureValue(std::shared_ptr<MLMultiArray>()), std::invalid_argument);
}

TEST(MLDictionaryFeatureProvider, ListsAndFindsItsFeaturesByExactName) {
    const MLDictionaryFeatureProvider provider({{"logits", MLFeatureValue(floats({1}))},
                                                {"key_cache_updates", MLFeatureValue(int64_t{3})}});
    EXPECT_EQ(provider.featureNames(), (std::set<std::string>{"key_cache_updates", "logits"}));
    EXPECT_TRUE(provider.featureValue("logits").has_value());
    for (const char* missing : {"Logits", "logits ", "", "alignment_heads_weights"}) {
        EXPECT_FALSE(provider.featureValue(missing).has_value()) << missing;
    }
    EXPECT_TRUE(MLDictionaryFeatureProvider({}).featureNames().empty());
}

TEST(MLModel, RunsItsPredictionAndKeepsItsDescriptionAndConfiguration) {
    const auto model = doublingModel();
    const MLDictionaryFeatureProvider input({{"x", MLFeatureValue(floats({1, 2, 3, -4}))}});
    const auto output = model->prediction(input, MLPredictionOptions());
    const auto y = output->featureValue("y")->multiArrayValue();
    EXPECT_EQ(MLShapedArray<float>(*y).scalars(), (std::vector<float>{2, 4, 6, -8}));
    EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuOnly);
    EXPECT_EQ(model->modelDescription().outputDescriptionsByName.at("y").multiArrayConstraint->shape,
              std::vector<int64_t>{4});
    EXPECT_EQ(MLModelConfiguration().computeUnits, MLComputeUnits::all);
}

TEST(MLModel, RejectsInputsThatLackARequiredFeatureOrHaveTheWrongType) {
    std::atomic<int> calls = 0;
    const auto model = doublingModel(&calls);
    struct Case {
        const char* name;
        MLDictionaryFeatureProvider input;
    };
    const std::vector<Case> cases = {
        {"empty", MLDictionaryFeatureProvider({})},
        {"only the optional feature", MLDictionaryFeatureProvider({{"bias", MLFeatureValue(floats({0}))}})},
        {"wrong letter case", MLDictionaryFeatureProvider({{"X", MLFeatureValue(floats({0}))}})},
        {"not a multi-array", MLDictionaryFeatureProvider({{"x", MLFeatureValue(1.0)}})},
        {"optional of wrong type",
         MLDictionaryFeatureProvider({{"x", MLFeatureValue(floats({0}))}, {"bias", MLFeatureValue(1.0)}})},
    };
    for (const Case& c : cases) {
        try {
            model->prediction(c.input);
            ADD_FAILURE() << c.name;
        } catch (const MLModelError& error) {
            EXPECT_EQ(error.kind(), MLModelError::Kind::featureType) << c.name;
        }
    }
    EXPECT_EQ(calls, 0);
}

TEST(MLModel, PassesPredictionErrorsOnAndRefusesAMissingResult) {
    const auto failing = std::make_shared<MLModel>(
        MLModelDescription(),
        [](const MLFeatureProvider&, const MLPredictionOptions&) -> std::shared_ptr<MLFeatureProvider> {
            throw std::runtime_error("kernel failed");
        });
    try {
        failing->prediction(MLDictionaryFeatureProvider({}));
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "kernel failed");
    }
    const auto silent = std::make_shared<MLModel>(
        MLModelDescription(),
        [](const MLFeatureProvider&, const MLPredictionOptions&) { return std::shared_ptr<MLFeatureProvider>(); });
    EXPECT_THROW(silent->prediction(MLDictionaryFeatureProvider({})), MLModelError);
    EXPECT_THROW(MLModel(MLModelDescription(), MLModel::PredictionFunction()), std::invalid_argument);
}

TEST(MLModel, PredictsFromSeveralThreadsAtOnce) {
    std::atomic<int> calls = 0;
    const auto model = doublingModel(&calls);
    constexpr int kThreads = 8;
    constexpr int kRuns = 50;
    std::atomic<int> wrong = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int run = 0; run < kRuns; ++run) {
                const float value = static_cast<float>(t * kRuns + run);
                const MLDictionaryFeatureProvider input({{"x", MLFeatureValue(floats({value, 0, 0, 0}))}});
                const auto y = model->prediction(input)->featureValue("y")->multiArrayValue();
                if (y->buffer<float>()[0] != 2 * value) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(calls, kThreads * kRuns);
}

}  // namespace
}  // namespace platform
