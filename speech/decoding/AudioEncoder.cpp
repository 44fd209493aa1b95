#include "speech/decoding/AudioEncoder.h"

#include "mlcore/foundation/ModelUtilities.h"
#include "speech/decoding/ModelFeatures.h"
#include "speech/decoding/StagePrediction.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

std::optional<int64_t> AudioEncoder::embedSize() const {
    return celvan::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 1);
}

std::optional<int64_t> AudioEncoder::sequenceLength() const {
    return celvan::ModelUtilities::getModelOutputDimension(model(), "encoder_output_embeds", 3);
}

std::shared_ptr<AudioEncoderOutputType> AudioEncoder::encodeFeatures(const FeatureExtractorOutputType& features) {
    const auto array = multiArray(features);
    if (!array) throw WhisperError::audioProcessingFailed("AudioEncoder input must be MLMultiArray");
    return makeStageValue(encodeFeatures(array));
}

std::shared_ptr<platform::MLMultiArray> AudioEncoder::encodeFeatures(const std::shared_ptr<platform::MLMultiArray>& features) {
    const auto loaded = model();
    if (!loaded) throw WhisperError::modelsUnavailable("Models are unavailable");
    const AudioEncoderInput input(features);
    return predictStageOutput(*loaded, input, "encoder_output_embeds", "Encoder output is nil", "EncodeAudio",
                              Logging::AudioEncoding::signposter());
}

}  // namespace sonoscribe
