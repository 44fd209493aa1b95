#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "speech/audio/AudioProcessor.h"
#include "speech/engine/AudioStreamTranscriber.h"
#include "tests/support/EngineTestSupport.h"
#include "speech/model/WhisperError.h"
#include "tests/support/PipeMicrophone.h"

// The live transcriber on real capture: speech goes into the session's pipe
// microphone in real time while the transcriber listens through the sound
// server, as it does when someone dictates.
namespace sonoscribe {
namespace {

using namespace std::chrono_literals;
using testing::helloWorldTokens;
using testing::ScriptedStages;
using testing::scriptedWindow;

constexpr int64_t sampleRate = 16000;

const ScriptedStages& stages() {
    // Every window reads " Hello world." over its first half second. Passes
    // come a little over a second apart, so the confirmed end falls further
    // behind the captured audio with each one, and the pass after the stop
    // has more than a window's minimum to decode.
    static const ScriptedStages scripted(scriptedWindow(helloWorldTokens(), 0.5f));
    return scripted;
}

const std::string& speech() {
    static const std::string audio = testsupport::spokenMicrophoneAudio(
        "Dictation turns the words you say into text while you keep on speaking, sentence after sentence, "
        "until you stop.");
    return audio;
}

// A processor whose passes find no audio to decode, as when the buffer was
// taken away under the transcriber.
class WindowlessAudioProcessor : public AudioProcessor {
public:
    std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>&, int64_t, int64_t) override {
        return nullptr;
    }
};

struct LiveCapture {
    std::shared_ptr<AudioProcessor> processor;
    std::mutex mutex;
    std::vector<AudioStreamTranscriber::State> reports;
    std::shared_ptr<AudioStreamTranscriber> transcriber;
    std::exception_ptr loopError;
    std::thread loop;

    explicit LiveCapture(std::shared_ptr<AudioProcessor> capture) : processor(std::move(capture)) {
        DecodingOptions options;
        options.language = "en";
        options.skipSpecialTokens = true;
        transcriber = AudioStreamTranscriber::create(
            stages().audioEncoder, stages().featureExtractor, stages().segmentSeeker, stages().textDecoder,
            stages().tokenizer, processor, options, 0, 0.3f, 60, true,
            [this](const AudioStreamTranscriber::State&, const AudioStreamTranscriber::State& state) {
                std::lock_guard lock(mutex);
                reports.push_back(state);
            });
        loop = std::thread([this] {
            try {
                transcriber->startStreamTranscription();
            } catch (...) {
                loopError = std::current_exception();
            }
        });
    }
    ~LiveCapture() {
        if (loop.joinable()) {
            transcriber->stopStreamTranscription();
            loop.join();
        }
    }

    template <class Condition>
    bool waitFor(Condition condition, std::chrono::milliseconds timeout = 30s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (condition(transcriber->state())) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    int64_t newSamples() const {
        return static_cast<int64_t>(processor->audioSamples().size()) - transcriber->state().lastBufferSize;
    }
};

TEST(LiveStreamTranscription, SpeechIsConfirmedOnceInOrderAndTheLastMomentsArriveAfterStop) {
    testsupport::PipeMicrophone microphone;
    microphone.say(testsupport::microphoneSilence(500ms) + speech());
    LiveCapture live(std::make_shared<AudioProcessor>());
    ASSERT_TRUE(live.waitFor([](const auto& state) { return state.confirmedSegments.size() >= 3; }))
        << "three passes over the speech confirmed " << live.transcriber->state().confirmedSegments.size();
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 1);
    // Stop a moment after a pass began, well before the next one is due: only
    // the pass after the stop can take these samples.
    ASSERT_TRUE(live.waitFor([&](const auto&) { return live.newSamples() >= sampleRate * 3 / 10; }));
    const AudioStreamTranscriber::State beforeStop = live.transcriber->state();
    live.transcriber->stopStreamTranscription();
    live.loop.join();
    ASSERT_FALSE(live.loopError);
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 0) << "capture outlived the stop";

    const AudioStreamTranscriber::State state = live.transcriber->state();
    EXPECT_FALSE(state.isRecording);
    EXPECT_EQ(state.lastBufferSize, static_cast<int64_t>(live.processor->audioSamples().size()))
        << "audio captured before the stop was left untranscribed";
    EXPECT_GT(state.lastBufferSize, beforeStop.lastBufferSize);
    EXPECT_GT(state.confirmedSegments.size(), beforeStop.confirmedSegments.size())
        << "the pass after the stop added no text";
    EXPECT_GT(state.lastConfirmedSegmentEndSeconds, beforeStop.lastConfirmedSegmentEndSeconds);
    for (std::size_t i = 0; i < state.confirmedSegments.size(); ++i) {
        const TranscriptionSegment& segment = state.confirmedSegments[i];
        EXPECT_EQ(segment.text, " Hello world.") << i;
        if (i > 0) {
            EXPECT_GE(segment.start, state.confirmedSegments[i - 1].end) << "segment " << i << " repeats audio";
        }
    }
    EXPECT_LE(state.lastConfirmedSegmentEndSeconds,
              static_cast<float>(state.lastBufferSize) / static_cast<float>(sampleRate) + 1.0f);

    // What observers saw: confirmed text only ever grew, each time keeping
    // what was confirmed before it unchanged.
    std::lock_guard lock(live.mutex);
    std::size_t confirmed = 0;
    for (const auto& report : live.reports) {
        ASSERT_GE(report.confirmedSegments.size(), confirmed);
        confirmed = report.confirmedSegments.size();
        ASSERT_LE(confirmed, state.confirmedSegments.size());
        EXPECT_TRUE(std::equal(report.confirmedSegments.begin(), report.confirmedSegments.end(),
                               state.confirmedSegments.begin()))
            << "confirmed text changed after it was reported";
    }
}

// A pass that fails ends the loop quietly; capture goes on until the caller
// stops it.
TEST(LiveStreamTranscription, AFailingPassEndsTheLoopAndLeavesCaptureToTheCaller) {
    testsupport::PipeMicrophone microphone;
    microphone.say(testsupport::microphoneSilence(500ms) + speech());
    LiveCapture live(std::make_shared<WindowlessAudioProcessor>());
    live.loop.join();
    EXPECT_FALSE(live.loopError) << "the pass's failure reached the caller";
    EXPECT_TRUE(live.transcriber->state().isRecording);
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 1) << "the failure stopped capture";
    const std::size_t captured = live.processor->audioSamples().size();
    EXPECT_GT(captured, static_cast<std::size_t>(sampleRate)) << "the pass ran on less than a second of audio";
    std::this_thread::sleep_for(300ms);
    EXPECT_GT(live.processor->audioSamples().size(), captured) << "samples no longer arrive";
    live.transcriber->stopStreamTranscription();
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 0);
}

}  // namespace
}  // namespace sonoscribe
