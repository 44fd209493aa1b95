#include "speech/model/WhisperMLModel.h"

#include <gtest/gtest.h>

#include "platform/coreml/MLModelError.h"
#include "speech/model/ModelComputeOptions.h"
#include "tests/support/ModelBundleWriter.h"
#include "tests/support/TempDirectory.h"

namespace sonoscribe {
namespace {

using platform::MLComputeUnits;
using platform::coreml::runtime::DataType;

class Stage : public WhisperMLModel {};

platform::URL writeBundle(const testsupport::TempDirectory& dir) {
    testsupport::ModelBundleWriter writer;
    writer.input("audio", DataType::Float32, {4});
    writer.op("relu", {{"x", "audio"}}, {{"features", DataType::Float32, {4}}});
    writer.output("features");
    auto bundle = writer.write(dir.path() / "MelSpectrogram.mlmodelc");
    return platform::URL::fileURLWithPath(bundle.string(), true);
}

TEST(WhisperMLModel, LoadsKeepsOrDropsTheModel) {
    testsupport::TempDirectory dir;
    platform::URL bundle = writeBundle(dir);

    Stage prewarmed;
    prewarmed.loadModel(bundle, MLComputeUnits::cpuAndGPU, true);
    EXPECT_EQ(prewarmed.model(), nullptr);
    EXPECT_EQ(prewarmed.modelState(), celvan::ModelState::unloaded);

    Stage stage;
    stage.loadModel(bundle, MLComputeUnits::cpuAndGPU, false);
    ASSERT_NE(stage.model(), nullptr);
    EXPECT_EQ(stage.modelState(), celvan::ModelState::loaded);
    EXPECT_EQ(stage.model()->configuration().computeUnits, MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(stage.model()->modelDescription().inputDescriptionsByName.count("audio"), 1u);

    // A failed load leaves the loaded model in place.
    auto loaded = stage.model();
    platform::URL missing = platform::URL::fileURLWithPath((dir.path() / "Missing.mlmodelc").string(), true);
    EXPECT_THROW(stage.loadModel(missing, MLComputeUnits::cpuOnly, false), platform::MLModelError);
    EXPECT_EQ(stage.model(), loaded);

    stage.unloadModel();
    EXPECT_EQ(stage.modelState(), celvan::ModelState::unloaded);
}

TEST(ModelComputeOptions, DefaultsTakeTheNewestSystemsChoice) {
    ModelComputeOptions defaults;
    EXPECT_EQ(defaults.melCompute, MLComputeUnits::cpuAndGPU);
    EXPECT_EQ(defaults.audioEncoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    EXPECT_EQ(defaults.textDecoderCompute, MLComputeUnits::cpuAndNeuralEngine);
    ModelComputeOptions chosen(MLComputeUnits::cpuOnly, std::nullopt, MLComputeUnits::all);
    EXPECT_EQ(chosen, ModelComputeOptions(MLComputeUnits::cpuOnly, MLComputeUnits::cpuAndNeuralEngine, MLComputeUnits::all));
}

}  // namespace
}  // namespace sonoscribe
