#include "app/dictation/TranscriptionService.h"

#include <gtest/gtest.h>

#include "app/dictation/Log.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <semaphore>
#include <stdexcept>
#include <thread>

#include "app/dictation/AudioInputPreference.h"
#include "platform/concurrency/MainActor.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/LogLines.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using Status = TranscriptionStatus;

// What the transcribers did with the one capture they share, in order.
class CaptureEvents {
public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// Streams until stopped, or fails at start with the text it was given.
class FakeTranscriber final : public LiveTranscriber {
public:
    FakeTranscriber(int number, std::shared_ptr<CaptureEvents> events, std::optional<std::string> failure,
                    StateCallback onState)
        : name_(std::to_string(number)),
          events_(std::move(events)),
          failure_(std::move(failure)),
          onState_(std::move(onState)) {}

    void startStreamTranscription() override {
        if (failure_) throw std::runtime_error(*failure_);
        events_->add("start " + name_);
        std::unique_lock lock(mutex_);
        stoppedChanged_.wait(lock, [this] { return stopped_; });
        // The last pass over the buffer, after the stop, as the real one does.
        lock.unlock();
        std::this_thread::sleep_for(20ms);
        events_->add("end " + name_);
    }
    void stopStreamTranscription() override {
        events_->add("stop " + name_);
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
        }
        stoppedChanged_.notify_all();
    }
    void emit(const std::string& confirmed) { onState_({{confirmed}, {}, "Waiting for speech..."}); }

private:
    const std::string name_;
    std::shared_ptr<CaptureEvents> events_;
    std::optional<std::string> failure_;
    StateCallback onState_;
    std::mutex mutex_;
    std::condition_variable stoppedChanged_;
    bool stopped_ = false;
};

class FakeEngine final : public SpeechEngine {
public:
    bool tokenizer = true;
    std::deque<std::string> startFailures;  // one per transcriber, in turn
    std::optional<std::string> resumeFailure;
    std::vector<std::shared_ptr<FakeTranscriber>> transcribers;
    std::vector<std::string> captureCalls;
    std::shared_ptr<CaptureEvents> events = std::make_shared<CaptureEvents>();
    std::optional<sonoscribe::DecodingOptions> options;

    bool hasTokenizer() const override { return tokenizer; }
    std::shared_ptr<LiveTranscriber> makeTranscriber(const sonoscribe::DecodingOptions& given,
                                                     LiveTranscriber::StateCallback onState) override {
        options = given;
        std::optional<std::string> failure;
        if (!startFailures.empty()) {
            failure = startFailures.front();
            startFailures.pop_front();
        }
        transcribers.push_back(std::make_shared<FakeTranscriber>(static_cast<int>(transcribers.size()) + 1, events,
                                                                 failure, std::move(onState)));
        return transcribers.back();
    }
    void stopRecording() override { captureCalls.push_back("stop"); }
    void pauseRecording() override { captureCalls.push_back("pause"); }
    void resumeRecording() override {
        captureCalls.push_back("resume");
        if (resumeFailure) throw std::runtime_error(*resumeFailure);
    }
};

class TranscriptionServiceTest : public ::testing::Test {
protected:
    void SetUp() override { logs = testsupport::LogLines::install(); }
    void TearDown() override {
        if (service && service->status().isRecordingOrPaused()) stop();
        // The log's writer must be idle before the process ends.
        Log::waitUntilWritten();
        logs->uninstall();
    }

    void make() {
        TranscriptionService::Dependencies deps;
        deps.runtime = DictationRuntime::standard();
        deps.loadEngine = [this](const std::string& model, const DownloadProgress&) -> std::shared_ptr<SpeechEngine> {
            loadedModels.push_back(model);
            if (!loadFailures.empty()) {
                const std::string failure = loadFailures.front();
                loadFailures.pop_front();
                throw std::runtime_error(failure);
            }
            return engine;
        };
        deps.sleep = [this](std::chrono::milliseconds delay) {
            sleeps.push_back(delay);
            if (holdSleep) {
                sleeping.release();
                sleepOver.acquire();
            }
        };
        deps.defaults = defaults;
        deps.setPreferredInputDevice = [this](const std::optional<std::string>& name) { preferred.push_back(name); };
        deps.describeAudioInput = [] { return std::string("inputFormat: sampleRate=48000.0"); };
        service = TranscriptionService::create("openai_whisper-base.en", std::move(deps));
        service->setOnStatusChange([this](const Status& status) { reported.push_back(status); });
        service->setOnTranscriptUpdate([this](const std::string& text) { texts.push_back(text); });
    }
    // Runs main-actor work until `done` holds.
    template <class Predicate>
    void drainUntil(Predicate done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done() && std::chrono::steady_clock::now() < deadline) platform::MainActor::waitAndDrain(5ms);
        ASSERT_TRUE(done());
    }
    std::string stop() {
        std::optional<std::string> result;
        service->stop([&](std::string text) { result = std::move(text); });
        drainUntil([&] { return result.has_value(); });
        return result.value_or("");
    }
    bool logged(const std::string& line) {
        const auto lines = logs->texts();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    testsupport::TempDirectory folder;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    std::vector<std::optional<std::string>> preferred;
    std::shared_ptr<testsupport::LogLines> logs;
    std::shared_ptr<FakeEngine> engine = std::make_shared<FakeEngine>();
    std::deque<std::string> loadFailures;
    std::vector<std::string> loadedModels;
    std::vector<std::chrono::milliseconds> sleeps;
    // Holds the retry's wait until the test lets it end.
    bool holdSleep = false;
    std::binary_semaphore sleeping{0};
    std::binary_semaphore sleepOver{0};
    std::shared_ptr<TranscriptionService> service;
    std::vector<Status> reported;
    std::vector<std::string> texts;
};

TEST_F(TranscriptionServiceTest, ReportsEachRealChangeOnceFromLoadThroughADictation) {
    make();
    EXPECT_EQ(service->status(), Status::loading());
    EXPECT_TRUE(reported.empty());
    drainUntil([&] { return service->status() == Status::ready(); });
    EXPECT_TRUE(logged("[transcription] loading model openai_whisper-base.en"));
    EXPECT_TRUE(logged("[transcription] model loaded"));

    service->start();
    service->start();
    EXPECT_TRUE(logged("[transcription] start() called while status=recording — ignored"));
    EXPECT_EQ(engine->options->language, "en");
    EXPECT_TRUE(engine->options->skipSpecialTokens);
    EXPECT_EQ(engine->options->sampleLength, 224);
    EXPECT_EQ(engine->options->concurrentWorkerCount, 16);
    service->pause();
    service->pause();
    service->resume();
    engine->transcribers[0]->emit(" hello");
    drainUntil([&] { return !texts.empty(); });
    EXPECT_EQ(stop(), "hello");
    // Capture is held back and let go again, never restarted: the buffer
    // the transcriber reads from stays whole.
    EXPECT_EQ(engine->captureCalls, (std::vector<std::string>{"stop", "pause", "resume"}));
    EXPECT_EQ(reported, (std::vector<Status>{Status::ready(), Status::recording(), Status::paused(),
                                              Status::recording(), Status::ready()}));

    // Nothing running: nothing to end, nothing reported.
    EXPECT_EQ(stop(), "");
    EXPECT_EQ(reported.size(), 5u);
}

TEST_F(TranscriptionServiceTest, FailuresBecomeStatusesAndAFailedLoadIsRetriedOnRecovery) {
    loadFailures = {"the hub could not be reached"};
    make();
    drainUntil([&] { return service->status().kind == Status::Kind::error; });
    EXPECT_EQ(service->status(), Status::error("Couldn't load model: the hub could not be reached"));
    EXPECT_TRUE(logged("[transcription] model load failed — the hub could not be reached"));
    service->start();
    EXPECT_TRUE(logged("[transcription] start() called while status=error(\"Couldn't load model: the hub could not "
                       "be reached\") — ignored"));

    service->recoverFromError();
    EXPECT_EQ(service->status(), Status::loading());
    drainUntil([&] { return service->status() == Status::ready(); });
    EXPECT_EQ(loadedModels.size(), 2u);

    engine->resumeFailure = "the source went away";
    service->start();
    service->pause();
    service->resume();
    EXPECT_EQ(service->status(), Status::error("Couldn't resume: the source went away"));
    EXPECT_EQ(stop(), "");
    EXPECT_EQ(service->status(), Status::ready());

    engine->tokenizer = false;
    service->start();
    EXPECT_EQ(service->status(), Status::error("Sonoscribe not initialized"));
    service->recoverFromError();
    EXPECT_EQ(service->status(), Status::ready());
    EXPECT_EQ(loadedModels.size(), 2u);
}

TEST_F(TranscriptionServiceTest, AFailedResumeEndsItsTranscriberBeforeTheNextDictationRecords) {
    make();
    drainUntil([&] { return service->status() == Status::ready(); });
    const auto failResume = [&](int transcriber) {
        engine->resumeFailure = "the source went away";
        service->start();
        drainUntil([&] {
            const auto events = engine->events->all();
            return !events.empty() && events.back() == "start " + std::to_string(transcriber);
        });
        service->pause();
        service->resume();
        engine->resumeFailure.reset();
        EXPECT_EQ(service->status(), Status::error("Couldn't resume: the source went away"));
    };
    // Left alone in the error, the paused transcriber does not wait on for
    // samples that never come.
    failResume(1);
    drainUntil([&] { return engine->events->all().size() == 3; });
    EXPECT_EQ(stop(), "");
    EXPECT_EQ(service->status(), Status::ready());

    // The hot key at once: recover and record again. The failed transcriber
    // has finished with the capture before the new one starts it, so it
    // neither reads nor stops the new recording.
    failResume(2);
    service->recoverFromError();
    service->start();
    drainUntil([&] { return engine->events->all().size() == 7; });
    EXPECT_EQ(engine->events->all(), (std::vector<std::string>{"start 1", "stop 1", "end 1", "start 2", "stop 2",
                                                               "end 2", "start 3"}));
    engine->transcribers[2]->emit(" new words");
    drainUntil([&] { return !texts.empty() && texts.back() == "new words"; });
    EXPECT_EQ(stop(), "new words");
}

TEST_F(TranscriptionServiceTest, JoinsConfirmedTextWithTheLongerOfUnconfirmedAndCurrent) {
    struct Case {
        LiveTranscriber::State state;
        std::string text;
    };
    const std::vector<Case> cases{
        {{{" Hello"}, {}, "Waiting for speech..."}, "Hello"},
        {{{" One", " two."}, {" abc"}, "Waiting for speech..."}, "One two. abc"},
        {{{" One"}, {" abc"}, " abcde"}, "One abcde"},
        {{{" One"}, {" abcd"}, " wxyz"}, "One abcd"},
        {{{}, {" ab"}, ""}, "ab"},
        // Counted as the user sees characters: two accented letters are two.
        {{{}, {" xyz"}, " e\xCC\x81\xC3\xA9"}, "xyz"},
        {{{"\n"}, {}, "  "}, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(TranscriptionService::transcript(c.state), c.text) << c.text;
}

TEST_F(TranscriptionServiceTest, RetriesACaptureFormatRaceOnceAfter600Milliseconds) {
    struct Case {
        std::vector<std::string> failures;
        Status status;
        size_t transcribers;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases{
        {{"could not reach the desired format"},
         Status::recording(),
         2,
         {"[transcription] stream attempt #1 failed — type=runtime_error raw=could not reach the desired format "
          "localized=could not reach the desired format race=true",
          "[audio] pre-stop — inputFormat: sampleRate=48000.0", "[audio] post-stop — inputFormat: sampleRate=48000.0",
          "[audio] pre-retry — inputFormat: sampleRate=48000.0",
          "[audio] post-retry-stop — inputFormat: sampleRate=48000.0"}},
        {{"node format changed", "node format changed"},
         Status::error("Stream failed: node format changed"),
         2,
         {"[transcription] stream attempt #2 failed — type=runtime_error raw=node format changed localized=node "
          "format changed",
          "[transcription] stream failed — node format changed"}},
        {{"no such source"},
         Status::error("Stream failed: no such source"),
         1,
         {"[transcription] stream attempt #1 failed — type=runtime_error raw=no such source localized=no such "
          "source race=false"}},
    };
    make();
    drainUntil([&] { return service->status() == Status::ready(); });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failures.front());
        engine->transcribers.clear();
        sleeps.clear();
        engine->startFailures.assign(c.failures.begin(), c.failures.end());
        service->start();
        drainUntil([&] { return engine->transcribers.size() == c.transcribers && service->status() == c.status; });
        for (const auto& line : c.lines) EXPECT_TRUE(logged(line)) << line;
        EXPECT_EQ(sleeps, (c.transcribers == 2 ? std::vector{600ms} : std::vector<std::chrono::milliseconds>{}));
        EXPECT_EQ(stop(), "");
        if (c.status == Status::recording()) {
            EXPECT_TRUE(logged("[transcription] retry succeeded"));
        }
    }
}

TEST_F(TranscriptionServiceTest, AStopDuringTheRetrysWaitEndsTheDictationWithoutARetry) {
    make();
    drainUntil([&] { return service->status() == Status::ready(); });
    holdSleep = true;
    engine->startFailures = {"could not reach the desired format"};
    service->start();
    sleeping.acquire();
    std::optional<std::string> result;
    service->stop([&](std::string text) { result = std::move(text); });
    sleepOver.release();
    drainUntil([&] { return result.has_value(); });
    EXPECT_EQ(result, "");
    EXPECT_EQ(service->status(), Status::ready());
    EXPECT_EQ(engine->transcribers.size(), 1u) << "a stopped dictation must not start capture again";
    EXPECT_FALSE(logged("[audio] pre-retry — inputFormat: sampleRate=48000.0"));
}

TEST_F(TranscriptionServiceTest, UpdatesFromAnEndedTranscriberNeverReachTheNextDictation) {
    make();
    drainUntil([&] { return service->status() == Status::ready(); });
    service->start();
    auto first = engine->transcribers[0];
    first->emit(" first dictation");
    drainUntil([&] { return !texts.empty() && texts.back() == "first dictation"; });
    EXPECT_EQ(stop(), "first dictation");

    service->start();
    auto second = engine->transcribers[1];
    first->emit(" first dictation, late");
    second->emit(" second");
    drainUntil([&] { return !texts.empty() && texts.back() == "second"; });
    service->restart();
    drainUntil([&] { return engine->transcribers.size() == 3; });
    second->emit(" second, late");
    engine->transcribers[2]->emit(" third");
    drainUntil([&] { return !texts.empty() && texts.back() == "third"; });
    EXPECT_EQ(stop(), "third");
    EXPECT_EQ(texts, (std::vector<std::string>{"first dictation", "second", "", "third"}));
}

TEST_F(TranscriptionServiceTest, HandsTheChosenMicrophoneToTheCaptureAtStartAndOnEachChange) {
    defaults->set(AudioInputPreference::key, "alsa_input.usb-mic");
    make();
    AudioInputPreference::setDeviceName(*defaults, std::nullopt);
    AudioInputPreference::setDeviceName(*defaults, std::nullopt);
    drainUntil([&] { return preferred.size() == 3; });
    EXPECT_EQ(preferred, (std::vector<std::optional<std::string>>{"alsa_input.usb-mic", std::nullopt, std::nullopt}));
    EXPECT_TRUE(logged("[audio] input device preference applied — id=alsa_input.usb-mic"));
    EXPECT_TRUE(logged("[audio] input device preference applied — id=system-default"));
    EXPECT_FALSE(defaults->object(AudioInputPreference::key).has_value());
    // Only text names a source.
    defaults->set(AudioInputPreference::key, platform::JSONNumber::signedInteger(73));
    EXPECT_EQ(AudioInputPreference::deviceName(*defaults), std::nullopt);
}

}  // namespace
}  // namespace dictaro
