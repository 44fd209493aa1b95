#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/SpeechEngine.h"
#include "speech/engine/Sonoscribe.h"

namespace dictaro {

// The speech engine the dictation runs on: the on-device Whisper engine with
// the application's own audio processor.
class SonoscribeSpeechEngine : public SpeechEngine {
public:
    // Where the model comes from; absent fields take the engine's defaults.
    struct ModelSource {
        std::optional<std::string> endpoint;
        std::optional<platform::URL> downloadBase;
    };

    // Finds the model in the hub cache or downloads it, telling `onDownload`
    // how far the download has come, then loads it; throws the engine's or
    // the hub's error when it cannot.
    static std::shared_ptr<SonoscribeSpeechEngine> load(const std::string& modelName,
                                                        std::shared_ptr<DictaroAudioProcessor> processor,
                                                        DownloadProgress onDownload, ModelSource source = {});

    SonoscribeSpeechEngine(std::shared_ptr<sonoscribe::Sonoscribe> engine, std::shared_ptr<DictaroAudioProcessor> processor);

    bool hasTokenizer() const override;
    std::shared_ptr<LiveTranscriber> makeTranscriber(const sonoscribe::DecodingOptions& options,
                                                     LiveTranscriber::StateCallback onState) override;
    void stopRecording() override;
    void pauseRecording() override;
    void resumeRecording() override;

private:
    std::shared_ptr<sonoscribe::Sonoscribe> engine_;
    std::shared_ptr<DictaroAudioProcessor> processor_;
};

}  // namespace dictaro
