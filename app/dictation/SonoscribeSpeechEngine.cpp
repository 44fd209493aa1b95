#include "app/dictation/SonoscribeSpeechEngine.h"

#include <cstdlib>
#include <utility>

#include "speech/engine/AudioStreamTranscriber.h"

namespace dictaro {
namespace {

// How the live transcriber confirms text and listens for voice in a dictation.
constexpr int64_t requiredSegmentsForConfirmation = 2;
constexpr float silenceThreshold = 0.3f;
constexpr int64_t compressionCheckWindow = 60;

class StreamTranscriber : public LiveTranscriber {
public:
    explicit StreamTranscriber(std::shared_ptr<sonoscribe::AudioStreamTranscriber> stream) : stream_(std::move(stream)) {}

    void startStreamTranscription() override { stream_->startStreamTranscription(); }
    void stopStreamTranscription() override { stream_->stopStreamTranscription(); }

private:
    std::shared_ptr<sonoscribe::AudioStreamTranscriber> stream_;
};

LiveTranscriber::State liveState(const sonoscribe::AudioStreamTranscriber::State& state) {
    LiveTranscriber::State live;
    for (const auto& segment : state.confirmedSegments) live.confirmedTexts.push_back(segment.text);
    for (const auto& segment : state.unconfirmedSegments) live.unconfirmedTexts.push_back(segment.text);
    live.currentText = state.currentText;
    return live;
}

}  // namespace

std::shared_ptr<SonoscribeSpeechEngine> SonoscribeSpeechEngine::load(const std::string& modelName,
                                                                     std::shared_ptr<DictaroAudioProcessor> processor) {
    sonoscribe::SonoscribeConfig config;
    config.model = modelName;
    // The hub named in the environment, as for every other hub client: a
    // mirror, or a private hub, must serve the model too.
    if (const char* endpoint = std::getenv("HF_ENDPOINT"); endpoint && *endpoint) config.modelEndpoint = endpoint;
    config.audioProcessor = processor;
    config.download = true;
    config.load = true;
    return std::make_shared<SonoscribeSpeechEngine>(sonoscribe::Sonoscribe::create(config), std::move(processor));
}

SonoscribeSpeechEngine::SonoscribeSpeechEngine(std::shared_ptr<sonoscribe::Sonoscribe> engine,
                                               std::shared_ptr<DictaroAudioProcessor> processor)
    : engine_(std::move(engine)), processor_(std::move(processor)) {}

bool SonoscribeSpeechEngine::hasTokenizer() const { return engine_->tokenizer() != nullptr; }

std::shared_ptr<LiveTranscriber> SonoscribeSpeechEngine::makeTranscriber(const sonoscribe::DecodingOptions& options,
                                                                         LiveTranscriber::StateCallback onState) {
    auto stream = sonoscribe::AudioStreamTranscriber::create(
        engine_->audioEncoder(), engine_->featureExtractor(), engine_->segmentSeeker(), engine_->textDecoder(),
        engine_->tokenizer(), processor_, options, requiredSegmentsForConfirmation, silenceThreshold,
        compressionCheckWindow, true,
        [onState = std::move(onState)](const auto&, const sonoscribe::AudioStreamTranscriber::State& state) {
            if (onState) onState(liveState(state));
        });
    return std::make_shared<StreamTranscriber>(std::move(stream));
}

void SonoscribeSpeechEngine::stopRecording() { processor_->stopRecording(); }

void SonoscribeSpeechEngine::pauseRecording() { processor_->pauseRecording(); }

void SonoscribeSpeechEngine::resumeRecording() { processor_->resumeRecordingLive(); }

}  // namespace dictaro
