#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/dictation/DictationRuntime.h"
#include "app/dictation/SpeechEngine.h"
#include "app/dictation/TranscriptionControl.h"
#include "platform/settings/NotificationCenter.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// Owns the speech engine: loads the model in the background, runs at most
// one live transcription at a time, and reports its status and the growing
// transcript. Lives on the main actor, as do its callbacks.
class TranscriptionService final : public TranscriptionControl,
                                   public std::enable_shared_from_this<TranscriptionService> {
public:
    static constexpr std::string_view waitingPlaceholder = "Waiting for speech...";

    struct Dependencies {
        DictationRuntime runtime;
        // Builds and loads the engine for a model, downloading it first when
        // it is not at hand; throws when it cannot.
        std::function<std::shared_ptr<SpeechEngine>(const std::string& modelName, const DownloadProgress& onDownload)>
            loadEngine;
        // Waits on a background thread; the retry after a capture race uses it.
        std::function<void(std::chrono::milliseconds)> sleep;
        // Where the chosen microphone is read, at start-up and on every change.
        std::shared_ptr<const platform::UserDefaults> defaults;
        // Hands the choice to the capture (none: the system default); a
        // running capture keeps its source until the next start.
        std::function<void(const std::optional<std::string>& sourceName)> setPreferredInputDevice;
        // The formats the default input reports right now, for the log around
        // each capture reset; none logs nothing.
        std::function<std::string()> describeAudioInput;
    };

    // Starts loading the model at once; nothing is reported until that ends.
    static std::shared_ptr<TranscriptionService> create(std::string modelName, Dependencies dependencies);

    TranscriptionStatus status() const override { return status_; }
    void setOnStatusChange(StatusHandler handler) override { onStatusChange_ = std::move(handler); }
    void setOnTranscriptUpdate(TranscriptHandler handler) override { onTranscriptUpdate_ = std::move(handler); }
    void start() override;
    void stop(std::function<void(std::string)> done) override;
    void pause() override;
    void resume() override;
    void restart() override;
    // A service whose model never loaded loads it again.
    void recoverFromError() override;

    // The whole transcript a transcriber state shows.
    static std::string transcript(const LiveTranscriber::State& state);
    static sonoscribe::DecodingOptions decodingOptions();

private:
    struct Stream;

    TranscriptionService(std::string modelName, Dependencies dependencies);

    void loadModel();
    void applyInputDevicePreference();
    void setStatus(TranscriptionStatus status);
    std::shared_ptr<LiveTranscriber> makeTranscriber(uint64_t generation);
    // Starts capture once `previous`, when given, has let go of it.
    void runStream(std::shared_ptr<Stream> stream, int attempt, std::shared_ptr<Stream> previous = nullptr);
    void retryStream(std::shared_ptr<Stream> stream);
    void fail(uint64_t generation, const std::string& description);
    void logAudioInputState(const std::string& prefix) const;
    void handleStateUpdate(uint64_t generation, const LiveTranscriber::State& state);
    // Stops `stream` and calls `then` (when given) on the main actor once it
    // has let go of the capture and every update it made has been handled.
    void endStream(const std::shared_ptr<Stream>& stream, std::function<void()> then);

    const std::string modelName_;
    Dependencies deps_;
    TranscriptionStatus status_ = TranscriptionStatus::loading();
    StatusHandler onStatusChange_;
    TranscriptHandler onTranscriptUpdate_;
    std::shared_ptr<SpeechEngine> engine_;
    std::shared_ptr<Stream> stream_;
    // Counts dictations: an update or a failure of an earlier one is dropped.
    uint64_t generation_ = 0;
    std::string latestText_;
    platform::NotificationCenter::Registration preferenceObserver_;
};

}  // namespace dictaro
