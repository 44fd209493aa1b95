#include "speech/decoding/StagePrediction.h"

#include "mlcore/foundation/MLModelExtensions.h"
#include "platform/concurrency/CancellationToken.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

std::shared_ptr<platform::MLMultiArray> predictStageOutput(const platform::MLModel& model,
                                                           const platform::MLFeatureProvider& input,
                                                           const std::string& outputName,
                                                           const std::string& missingOutputMessage,
                                                           std::string_view signpostName,
                                                           platform::log::Signposter& signposter) {
    platform::checkCancellation();
    const auto interval = Logging::beginSignpost(signpostName, signposter);
    std::shared_ptr<platform::MLFeatureProvider> result;
    try {
        result = celvan::asyncPrediction(model, input, platform::MLPredictionOptions{});
    } catch (...) {
        Logging::endSignpost(signpostName, interval, signposter);
        throw;
    }
    Logging::endSignpost(signpostName, interval, signposter);
    const auto value = result ? result->featureValue(outputName) : std::nullopt;
    auto array = value ? value->multiArrayValue() : nullptr;
    if (!array) throw WhisperError::transcriptionFailed(missingOutputMessage);
    return array;
}

}  // namespace sonoscribe
