#pragma once

#include <memory>
#include <string>

#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/SonoscribeSpeechEngine.h"
#include "app/dictation/TranscriptionService.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// The speech service on the on-device engine, recording through `processor`
// from the microphone chosen in `defaults`; it starts loading `modelName`
// from `source` at once.
std::shared_ptr<TranscriptionService> makeOnDeviceTranscription(const std::string& modelName,
                                                                std::shared_ptr<const platform::UserDefaults> defaults,
                                                                std::shared_ptr<DictaroAudioProcessor> processor,
                                                                SonoscribeSpeechEngine::ModelSource source = {});

}  // namespace dictaro
