#include "speech/decoding/FeatureExtractor.h"

#include "mlcore/foundation/ModelUtilities.h"
#include "speech/decoding/ModelFeatures.h"
#include "speech/decoding/StagePrediction.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

std::optional<int64_t> FeatureExtractor::melCount() const {
    return celvan::ModelUtilities::getModelOutputDimension(model(), "melspectrogram_features", 1);
}

std::optional<int64_t> FeatureExtractor::windowSamples() const {
    return celvan::ModelUtilities::getModelInputDimension(model(), "audio", 0);
}

std::shared_ptr<FeatureExtractorOutputType> FeatureExtractor::logMelSpectrogram(const AudioProcessorOutputType& fromAudio) {
    auto audio = multiArray(fromAudio);
    if (!audio) throw WhisperError::audioProcessingFailed("FeatureExtractor input must be MLMultiArray");
    const auto loaded = model();
    if (!loaded) throw WhisperError::modelsUnavailable("Models are unavailable");
    const MelSpectrogramInput input(std::move(audio));
    return makeStageValue(predictStageOutput(*loaded, input, "melspectrogram_features", "Mel output is nil",
                                             "ExtractAudioFeatures", Logging::FeatureExtractor::signposter()));
}

}  // namespace sonoscribe
