#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/coreml/MLFeatureProvider.h"
#include "platform/coreml/MLModel.h"
#include "platform/log/Signposter.h"

namespace sonoscribe {

// Runs one prediction of a stage's model inside a signpost interval and
// answers the named multi-array output. Throws the cancellation error before
// the prediction, the prediction's own error, and WhisperError
// (transcriptionFailed, missingOutputMessage) when the result lacks the
// output.
std::shared_ptr<platform::MLMultiArray> predictStageOutput(const platform::MLModel& model,
                                                           const platform::MLFeatureProvider& input,
                                                           const std::string& outputName,
                                                           const std::string& missingOutputMessage,
                                                           std::string_view signpostName,
                                                           platform::log::Signposter& signposter);

}  // namespace sonoscribe
