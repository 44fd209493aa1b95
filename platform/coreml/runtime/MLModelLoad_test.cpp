#include <gtest/gtest.h>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/coreml/MLDictionaryFeatureProvider.h"
#include "platform/coreml/MLModel.h"
#include "platform/coreml/MLModelError.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace platform {
namespace {

using coreml::runtime::DataType;
using testsupport::ModelBundleWriter;

// "audio" fp16 [2, 3] -> relu -> cast to fp32 "features" [2, 3].
std::shared_ptr<MLModel> loadReluModel(const testsupport::TempDirectory& dir) {
    ModelBundleWriter w;
    w.input("audio", DataType::Float16, {2, 3});
    w.op("relu", {{"x", "audio"}}, {{"r", DataType::Float16, {2, 3}}});
    w.op("cast", {{"x", "r"}, {"dtype", w.text("fp32")}}, {{"features", DataType::Float32, {2, 3}}});
    w.output("features");
    const auto bundle = w.write(dir.path() / "Relu.mlmodelc");
    return MLModel::load(URL::fileURLWithPath(bundle.string(), true), MLModelConfiguration{MLComputeUnits::cpuOnly});
}

TEST(MLModelLoad, DescribesTheProgramsFeatures) {
    testsupport::TempDirectory dir;
    const auto model = loadReluModel(dir);
    EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuOnly);
    const auto& inputs = model->modelDescription().inputDescriptionsByName;
    ASSERT_EQ(inputs.count("audio"), 1u);
    EXPECT_EQ(inputs.at("audio").type, MLFeatureType::multiArray);
    EXPECT_EQ(inputs.at("audio").multiArrayConstraint->dataType, MLMultiArrayDataType::float16);
    EXPECT_EQ(inputs.at("audio").multiArrayConstraint->shape, (std::vector<int64_t>{2, 3}));
    const auto& outputs = model->modelDescription().outputDescriptionsByName;
    EXPECT_EQ(outputs.at("features").multiArrayConstraint->dataType, MLMultiArrayDataType::float32);
}

TEST(MLModelLoad, PredictsOverStridedHalfArrays) {
    testsupport::TempDirectory dir;
    const auto model = loadReluModel(dir);
    // A pixel buffer pads its rows, so the array's strides are not dense.
    auto buffer = CVPixelBuffer::create(3, 2, kCVPixelFormatType_OneComponent16Half);
    ASSERT_TRUE(buffer);
    auto audio = std::make_shared<MLMultiArray>(buffer, std::vector<int64_t>{2, 3});
    const float values[6] = {-1.5f, 2.0f, 0.25f, 3.0f, -4.0f, 5.5f};
    auto data = audio->buffer<Float16>();
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 3; ++c) data[static_cast<size_t>(r * audio->strides()[0] + c)] = static_cast<Float16>(values[r * 3 + c]);
    }
    const MLDictionaryFeatureProvider input({{"audio", MLFeatureValue(audio)}});
    const auto output = model->prediction(input)->featureValue("features")->multiArrayValue();
    ASSERT_TRUE(output);
    EXPECT_EQ(output->shape(), (std::vector<int64_t>{2, 3}));
    const auto result = output->buffer<float>();
    EXPECT_EQ(std::vector<float>(result.begin(), result.begin() + 6), (std::vector<float>{0, 2.0f, 0.25f, 3.0f, 0, 5.5f}));
}

TEST(MLModelLoad, ReportsFailuresAsModelErrors) {
    testsupport::TempDirectory dir;
    const auto model = loadReluModel(dir);
    const MLDictionaryFeatureProvider wrongShape(
        {{"audio", MLFeatureValue(std::make_shared<MLMultiArray>(std::vector<int64_t>{3, 2}, MLMultiArrayDataType::float16))}});
    try {
        model->prediction(wrongShape);
        ADD_FAILURE() << "accepted";
    } catch (const MLModelError& error) {
        EXPECT_EQ(error.kind(), MLModelError::Kind::featureType);
        EXPECT_NE(std::string(error.what()).find("'audio'"), std::string::npos) << error.what();
    }
    try {
        MLModel::load(URL::fileURLWithPath((dir.path() / "Nothing.mlmodelc").string(), true), {});
        ADD_FAILURE() << "loaded";
    } catch (const MLModelError& error) {
        EXPECT_EQ(error.kind(), MLModelError::Kind::io);
        EXPECT_NE(std::string(error.what()).find("Nothing.mlmodelc"), std::string::npos) << error.what();
    }
}

TEST(MLModelLoad, StopsWhenTheCallingTaskIsCancelled) {
    testsupport::TempDirectory dir;
    const auto model = loadReluModel(dir);
    const MLDictionaryFeatureProvider input(
        {{"audio", MLFeatureValue(std::make_shared<MLMultiArray>(std::vector<int64_t>{2, 3}, MLMultiArrayDataType::float16))}});
    CancellationToken token;
    token.cancel();
    CancellationScope scope(token);
    EXPECT_THROW(model->prediction(input), CancellationError);
}

}  // namespace
}  // namespace platform
