#include "app/dictation/OnDeviceTranscription.h"

#include "app/dictation/AudioInputDiagnostics.h"
#include "platform/concurrency/Sleep.h"

namespace dictaro {

std::shared_ptr<TranscriptionService> makeOnDeviceTranscription(const std::string& modelName,
                                                                std::shared_ptr<const platform::UserDefaults> defaults,
                                                                std::shared_ptr<DictaroAudioProcessor> processor,
                                                                SonoscribeSpeechEngine::ModelSource source) {
    TranscriptionService::Dependencies speech;
    speech.runtime = DictationRuntime::standard();
    speech.loadEngine = [processor, source](const std::string& model,
                                            const DownloadProgress& onDownload) -> std::shared_ptr<SpeechEngine> {
        return SonoscribeSpeechEngine::load(model, processor, onDownload, source);
    };
    speech.sleep = [](std::chrono::milliseconds duration) { platform::sleep(duration); };
    speech.defaults = std::move(defaults);
    speech.describeAudioInput = describeAudioInput;
    speech.setPreferredInputDevice = [processor](const std::optional<std::string>& sourceName) {
        processor->setPreferredSource(sourceName);
    };
    return TranscriptionService::create(modelName, std::move(speech));
}

}  // namespace dictaro
