#include "app/dictation/TranscriptionService.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "app/dictation/AudioInputPreference.h"
#include "app/dictation/Log.h"
#include "platform/concurrency/ThreadPool.h"
#include "platform/foundation/TypeName.h"
#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {
namespace {

constexpr std::string_view kCategory = "transcription";
constexpr std::chrono::milliseconds kRaceRetryDelay{600};
// How often a stop is said again while the stream has not ended: a stop that
// reaches the transcriber before its start would otherwise be lost.
constexpr std::chrono::milliseconds kStopRepeat{100};

std::string joined(const std::vector<std::string>& texts) {
    std::string text;
    for (const auto& piece : texts) text += piece;
    return text;
}

// Capture that starts while the sound server still reconfigures the device
// fails with one of these; a second try a moment later usually works.
bool isFormatRace(const std::string& description) {
    return description.find("node format") != std::string::npos ||
           description.find("desired format") != std::string::npos;
}

}  // namespace

// One dictation's transcriber and how far its ending has come.
struct TranscriptionService::Stream {
    Stream(uint64_t generation, std::shared_ptr<LiveTranscriber> transcriber)
        : generation(generation), transcriber(std::move(transcriber)) {}

    // Its stream has returned.
    void markEnded() { mark(ended); }
    bool waitEnded(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [this] { return ended; });
    }
    // Nothing calls into it any more: its last stop has returned too.
    void markReleased() { mark(released); }
    void waitReleased() {
        platform::ThreadPool::BlockingScope blocking;
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return released; });
    }

    const uint64_t generation;
    // Replaced once by the retry; read and written on the main actor only.
    std::shared_ptr<LiveTranscriber> transcriber;
    // Set when the dictation is being ended: a pending retry is dropped.
    std::atomic<bool> stopping{false};
    // Main actor only: whether it is being stopped, and what waits for that.
    bool stopperStarted = false;
    bool releasedOnMain = false;
    std::vector<std::function<void()>> whenReleased;

private:
    void mark(bool& flag) {
        {
            std::lock_guard lock(mutex);
            flag = true;
        }
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool ended = false;
    bool released = false;
};

std::shared_ptr<TranscriptionService> TranscriptionService::create(std::string modelName, Dependencies dependencies) {
    std::shared_ptr<TranscriptionService> service(new TranscriptionService(std::move(modelName), std::move(dependencies)));
    service->applyInputDevicePreference();
    service->loadModel();
    std::weak_ptr<TranscriptionService> weak = service;
    auto post = service->deps_.runtime.postToMain;
    service->preferenceObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(AudioInputPreference::notificationName), [weak, post] {
            post([weak] {
                if (auto self = weak.lock()) self->applyInputDevicePreference();
            });
        });
    return service;
}

TranscriptionService::TranscriptionService(std::string modelName, Dependencies dependencies)
    : modelName_(std::move(modelName)), deps_(std::move(dependencies)) {}

sonoscribe::DecodingOptions TranscriptionService::decodingOptions() {
    sonoscribe::DecodingOptions::Parameters parameters;
    parameters.verbose = false;
    parameters.task = sonoscribe::DecodingTask::transcribe;
    parameters.language = "en";
    parameters.temperature = 0.0f;
    parameters.temperatureIncrementOnFallback = 0.2f;
    parameters.temperatureFallbackCount = 5;
    parameters.sampleLength = sonoscribe::Constants::maxTokenContext;
    parameters.topK = 5;
    parameters.usePrefillPrompt = true;
    parameters.detectLanguage = std::nullopt;
    parameters.skipSpecialTokens = true;
    parameters.withoutTimestamps = false;
    parameters.wordTimestamps = false;
    parameters.clipTimestamps = {};
    parameters.windowClipTime = 1.0f;
    parameters.suppressBlank = false;
    parameters.suppressTokens = std::nullopt;
    parameters.compressionRatioThreshold = 2.4f;
    parameters.logProbThreshold = -1.0f;
    parameters.firstTokenLogProbThreshold = -1.5f;
    parameters.noSpeechThreshold = 0.6f;
    parameters.concurrentWorkerCount = std::nullopt;
    parameters.chunkingStrategy = std::nullopt;
    return sonoscribe::DecodingOptions(parameters);
}

std::string TranscriptionService::transcript(const LiveTranscriber::State& state) {
    const std::string confirmed = joined(state.confirmedTexts);
    const std::string unconfirmed = joined(state.unconfirmedTexts);
    const std::string current = state.currentText == waitingPlaceholder ? std::string() : state.currentText;
    const std::string& tail =
        platform::text::graphemeCount(current) > platform::text::graphemeCount(unconfirmed) ? current : unconfirmed;
    return std::string(platform::text::trimmingWhitespacesAndNewlines(confirmed + tail));
}

void TranscriptionService::setStatus(TranscriptionStatus status) {
    if (status == status_) return;
    status_ = std::move(status);
    if (onStatusChange_) onStatusChange_(status_);
}

void TranscriptionService::applyInputDevicePreference() {
    const std::optional<std::string> name = AudioInputPreference::deviceName(*deps_.defaults);
    deps_.setPreferredInputDevice(name);
    Log::info("audio", "input device preference applied — id=" + name.value_or("system-default"));
}

void TranscriptionService::loadModel() {
    Log::info(kCategory, "loading model " + modelName_);
    auto self = shared_from_this();
    // Reports come from the downloader's threads, many per percent: only a
    // new whole percent goes to the main actor.
    auto shownPercent = std::make_shared<std::atomic<int>>(-1);
    // The engine keeps this for its life, and the service keeps the engine.
    const DownloadProgress onDownload = [weak = weak_from_this(), runtime = deps_.runtime,
                                         shownPercent](double fraction) {
        const int percent = std::clamp(static_cast<int>(fraction * 100), 0, 100);
        int shown = shownPercent->load();
        do {
            if (percent <= shown) return;
        } while (!shownPercent->compare_exchange_weak(shown, percent));
        runtime.postToMain([weak, percent] {
            const auto alive = weak.lock();
            if (!alive) return;
            const TranscriptionStatus& status = alive->status_;
            if (status.kind == TranscriptionStatus::Kind::loading && status.downloadPercent.value_or(-1) < percent) {
                alive->setStatus(TranscriptionStatus::loading(percent));
            }
        });
    };
    deps_.runtime.runInBackground([self, onDownload] {
        std::shared_ptr<SpeechEngine> engine;
        std::string failure;
        try {
            engine = self->deps_.loadEngine(self->modelName_, onDownload);
        } catch (const std::exception& error) {
            failure = error.what();
        }
        self->deps_.runtime.postToMain([self, engine, failure] {
            if (!engine) {
                Log::error(kCategory, "model load failed — " + failure);
                self->setStatus(TranscriptionStatus::error("Couldn't load model: " + failure));
                return;
            }
            self->engine_ = engine;
            Log::info(kCategory, "model loaded");
            self->setStatus(TranscriptionStatus::ready());
        });
    });
}

void TranscriptionService::start() {
    if (status_ != TranscriptionStatus::ready()) {
        Log::info(kCategory, "start() called while status=" + status_.description() + " — ignored");
        return;
    }
    if (!engine_ || !engine_->hasTokenizer()) {
        setStatus(TranscriptionStatus::error("Sonoscribe not initialized"));
        return;
    }
    logAudioInputState("pre-stop");
    engine_->stopRecording();
    logAudioInputState("post-stop");
    // A failed stream, or one whose resume failed, is still here: it is
    // ended, and the new one records only once nothing of it runs, or both
    // would read, and stop, the one capture.
    const std::shared_ptr<Stream> previous = std::exchange(stream_, nullptr);
    if (previous) endStream(previous, nullptr);
    ++generation_;
    stream_ = std::make_shared<Stream>(generation_, makeTranscriber(generation_));
    latestText_.clear();
    setStatus(TranscriptionStatus::recording());
    runStream(stream_, 1, previous);
}

std::shared_ptr<LiveTranscriber> TranscriptionService::makeTranscriber(uint64_t generation) {
    std::weak_ptr<TranscriptionService> weak = weak_from_this();
    auto post = deps_.runtime.postToMain;
    return engine_->makeTranscriber(decodingOptions(), [weak, post, generation](const LiveTranscriber::State& state) {
        post([weak, generation, state] {
            if (auto self = weak.lock()) self->handleStateUpdate(generation, state);
        });
    });
}

void TranscriptionService::runStream(std::shared_ptr<Stream> stream, int attempt, std::shared_ptr<Stream> previous) {
    auto self = shared_from_this();
    auto transcriber = stream->transcriber;
    deps_.runtime.runInBackground([self, stream, transcriber, attempt, previous]() mutable {
        if (previous) previous->waitReleased();
        // Not kept for the length of this dictation.
        previous.reset();
        try {
            transcriber->startStreamTranscription();
            if (attempt == 2) Log::info(kCategory, "retry succeeded");
            stream->markEnded();
            return;
        } catch (const std::exception& error) {
            const std::string description = error.what();
            const std::string type = platform::unqualifiedTypeName(typeid(error));
            const bool race = isFormatRace(description);
            std::string line = "stream attempt #" + std::to_string(attempt) + " failed — type=" + type +
                               " raw=" + description + " localized=" + description;
            if (attempt == 1) line += race ? " race=true" : " race=false";
            Log::error(kCategory, line);
            if (attempt == 1 && race) {
                self->deps_.sleep(kRaceRetryDelay);
                self->deps_.runtime.postToMain([self, stream] { self->retryStream(stream); });
                return;
            }
            stream->markEnded();
            self->deps_.runtime.postToMain(
                [self, generation = stream->generation, description] { self->fail(generation, description); });
        }
    });
}

void TranscriptionService::retryStream(std::shared_ptr<Stream> stream) {
    if (stream->stopping || stream->generation != generation_) {
        stream->markEnded();
        return;
    }
    logAudioInputState("pre-retry");
    engine_->stopRecording();
    logAudioInputState("post-retry-stop");
    stream->transcriber = makeTranscriber(stream->generation);
    runStream(stream, 2);
}

void TranscriptionService::logAudioInputState(const std::string& prefix) const {
    if (deps_.describeAudioInput) Log::info("audio", prefix + " — " + deps_.describeAudioInput());
}

void TranscriptionService::fail(uint64_t generation, const std::string& description) {
    Log::error(kCategory, "stream failed — " + description);
    // A dictation that was stopped meanwhile has nothing left to fail.
    if (generation != generation_) return;
    setStatus(TranscriptionStatus::error("Stream failed: " + description));
}

void TranscriptionService::handleStateUpdate(uint64_t generation, const LiveTranscriber::State& state) {
    // Updates of a stopped or replaced dictation would overwrite the current
    // one's text, and could get an earlier dictation pasted.
    if (generation != generation_) return;
    latestText_ = transcript(state);
    if (onTranscriptUpdate_) onTranscriptUpdate_(latestText_);
}

void TranscriptionService::endStream(const std::shared_ptr<Stream>& stream, std::function<void()> then) {
    stream->stopping = true;
    if (stream->releasedOnMain) {
        if (then) deps_.runtime.postToMain(std::move(then));
        return;
    }
    if (then) stream->whenReleased.push_back(std::move(then));
    if (stream->stopperStarted) return;
    stream->stopperStarted = true;
    auto transcriber = stream->transcriber;
    auto post = deps_.runtime.postToMain;
    deps_.runtime.runInBackground([stream, transcriber, post] {
        do {
            transcriber->stopStreamTranscription();
        } while (!stream->waitEnded(kStopRepeat));
        stream->markReleased();
        // Queued behind every update the stream posted before it ended.
        post([stream] {
            stream->releasedOnMain = true;
            for (auto& then : std::exchange(stream->whenReleased, {})) then();
        });
    });
}

void TranscriptionService::stop(std::function<void(std::string)> done) {
    if (!stream_) {
        done({});
        return;
    }
    auto self = shared_from_this();
    auto stream = stream_;
    endStream(stream, [self, stream, done = std::move(done)]() mutable {
        // A start-over finished first and began another stream: end that one.
        if (self->stream_ && self->stream_ != stream) {
            self->stop(std::move(done));
            return;
        }
        self->stream_.reset();
        ++self->generation_;
        std::string result(platform::text::trimmingWhitespacesAndNewlines(self->latestText_));
        self->latestText_.clear();
        self->setStatus(TranscriptionStatus::ready());
        done(std::move(result));
    });
}

void TranscriptionService::pause() {
    if (status_ != TranscriptionStatus::recording()) return;
    if (engine_) engine_->pauseRecording();
    setStatus(TranscriptionStatus::paused());
}

void TranscriptionService::resume() {
    if (status_ != TranscriptionStatus::paused()) return;
    if (engine_) {
        try {
            engine_->resumeRecording();
        } catch (const std::exception& error) {
            setStatus(TranscriptionStatus::error(std::string("Couldn't resume: ") + error.what()));
            // Its transcriber would go on waiting for samples, and read the
            // next dictation's: it is stopped now, and released by the next
            // stop or start.
            if (stream_) endStream(stream_, nullptr);
            return;
        }
    }
    setStatus(TranscriptionStatus::recording());
}

void TranscriptionService::restart() {
    if (!status_.isRecordingOrPaused()) return;
    auto self = shared_from_this();
    auto begin = [self] {
        self->latestText_.clear();
        if (self->onTranscriptUpdate_) self->onTranscriptUpdate_("");
        self->setStatus(TranscriptionStatus::ready());
        self->start();
    };
    if (!stream_) {
        begin();
        return;
    }
    auto stream = stream_;
    endStream(stream, [self, stream, begin] {
        // A stop that finished first ended the dictation.
        if (self->stream_ != stream) return;
        self->stream_.reset();
        ++self->generation_;
        begin();
    });
}

void TranscriptionService::recoverFromError() {
    if (status_.kind != TranscriptionStatus::Kind::error) return;
    latestText_.clear();
    // Without an engine "ready" would only lead to "Sonoscribe not
    // initialized" until the application is started again.
    if (!engine_) {
        setStatus(TranscriptionStatus::loading());
        loadModel();
        return;
    }
    setStatus(TranscriptionStatus::ready());
}

}  // namespace dictaro
