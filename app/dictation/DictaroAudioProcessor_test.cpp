#include "app/dictation/DictaroAudioProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

#include "app/dictation/AudioInputPreference.h"
#include "app/dictation/PermissionStatus.h"
#include "platform/audio/AudioDevices.h"
#include "platform/process/ChildProcess.h"
#include "speech/model/WhisperError.h"
#include "tests/support/LogLines.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/PrivateSoundServer.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;

// `duration` of a steady level on each of the pipe microphone's two channels.
std::string steadyStereo(float left, float right, std::chrono::milliseconds duration) {
    const auto sample = [](float level) { return static_cast<int16_t>(std::lround(level * 32767)); };
    const int16_t frame[2] = {sample(left), sample(right)};
    std::string audio;
    for (long i = 0; i < duration.count() * 48; ++i) audio.append(reinterpret_cast<const char*>(frame), sizeof frame);
    return audio;
}

// A source of its own channel count made from the test microphone's two
// channels, loaded into the test's sound server for the length of one case.
class RemappedSource {
public:
    RemappedSource(const std::string& name, const std::string& channelMap, const std::string& masterChannelMap) {
        const auto index = platform::ChildProcess::output(
            {"pactl", "load-module", "module-remap-source", "source_name=" + name, "master=mic",
             "channel_map=" + channelMap, "master_channel_map=" + masterChannelMap, "remix=no"});
        if (!index || index->empty()) throw std::runtime_error("the sound server did not load the source " + name);
        module_ = std::stoi(*index);
    }
    ~RemappedSource() { platform::ChildProcess::run({"pactl", "unload-module", std::to_string(module_)}); }

private:
    int module_ = -1;
};

// Serves until the newest `window` samples have settled near `level`.
bool settlesAt(const DictaroAudioProcessor& processor, float level, std::size_t window = 1600) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::vector<float> samples = processor.audioSamples();
        if (samples.size() >= window &&
            std::all_of(samples.end() - static_cast<std::ptrdiff_t>(window), samples.end(),
                        [&](float sample) { return std::abs(sample - level) < 0.01f; })) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class DictaroAudioProcessorTest : public ::testing::Test {
protected:
    void SetUp() override { logs = testsupport::LogLines::install(); }
    void TearDown() override { logs->uninstall(); }

    std::shared_ptr<testsupport::LogLines> logs;
    std::shared_ptr<DictaroAudioProcessor> processor = std::make_shared<DictaroAudioProcessor>();
};

TEST_F(DictaroAudioProcessorTest, FoldsTheFirstTwoChannelsToTheirMeanFromTheChosenSource) {
    // The microphone's left channel hears 0.5, its right 0.1.
    struct Case {
        std::string source;
        std::string channelMap;
        std::string masterChannelMap;
        float heard;
        std::string taken;
        std::string chosen;  // as the start line names it
    };
    const std::vector<Case> cases = {
        {"mic", "", "", 0.3f, "2 ch @ 48000.0 Hz → 1 ch @ 16000 Hz (taking first 2 channels)", "mic"},
        // Channels beyond the second repeat the left one: folding them in would move the level.
        {"mic6", "front-left,front-right,rear-left,rear-right,front-center,lfe",
         "front-left,front-right,front-left,front-left,front-left,front-left", 0.3f,
         "6 ch @ 48000.0 Hz → 1 ch @ 16000 Hz (taking first 2 channels)", "mic6"},
        {"mic1", "mono", "front-right", 0.1f, "1 ch @ 48000.0 Hz → 1 ch @ 16000 Hz (taking first 1 channel)", "mic1"},
        // A chosen microphone that was unplugged: this capture takes the default one.
        {"usb-mic", "", "", 0.3f, "2 ch @ 48000.0 Hz → 1 ch @ 16000 Hz (taking first 2 channels)",
         "system-default (usb-mic is not present)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        std::optional<RemappedSource> remapped;
        if (!c.channelMap.empty()) remapped.emplace(c.source, c.channelMap, c.masterChannelMap);
        processor->setPreferredSource(c.source);
        std::atomic<int> callbacks{0};
        processor->startRecordingLive(std::nullopt, [&callbacks](const std::vector<float>&) { ++callbacks; });
        {
            testsupport::PipeMicrophone microphone;
            microphone.say(steadyStereo(0.5f, 0.1f, 10s));
            EXPECT_TRUE(settlesAt(*processor, c.heard)) << "never heard " << c.heard;
        }
        processor->stopRecording();
        EXPECT_GT(callbacks.load(), 0);
        const std::vector<std::string> lines = logs->texts();
        EXPECT_TRUE(contains(lines, "[audio] startRecordingLive — chosen=" + c.chosen +
                                        " (always using internal capture, recording the source by name; the system "
                                        "default input is left as it is)"));
        EXPECT_TRUE(contains(lines, "[audio] internal capture started — engine reports " + c.taken));
        EXPECT_TRUE(contains(lines, "[audio] internal capture stopped"));
    }
}

TEST_F(DictaroAudioProcessorTest, PauseKeepsTheRecordingResumeGoesOnAndEachStartBeginsAfresh) {
    testsupport::PipeMicrophone microphone;
    microphone.say(steadyStereo(0.2f, 0.2f, 10s));
    processor->startRecordingLive();
    ASSERT_TRUE(settlesAt(*processor, 0.2f));
    processor->pauseRecording();
    const std::size_t paused = processor->audioSamples().size();
    ASSERT_GT(paused, 0u);

    processor->resumeRecordingLive();
    const auto grows = [&](std::size_t from) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (processor->audioSamples().size() <= from && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        return processor->audioSamples().size() > from;
    };
    EXPECT_TRUE(grows(paused)) << "the paused capture did not go on";
    const std::vector<float> resumed = processor->audioSamples();
    EXPECT_GE(resumed.size(), paused) << "resuming must keep what was recorded";

    processor->startRecordingLive();
    EXPECT_LT(processor->audioSamples().size(), paused) << "a start must begin a fresh recording";
    processor->stopRecording();
    const std::size_t stopped = processor->audioSamples().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(processor->audioSamples().size(), stopped) << "a stopped capture must not record";
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 0);
    const auto starts = logs->texts();
    EXPECT_EQ(std::count(starts.begin(), starts.end(), "[audio] internal capture stopped"), 2)
        << "one line per capture that ends, none for the resume";
}

TEST_F(DictaroAudioProcessorTest, AStopDuringAStartEndsTheCaptureOnceItIsUp) {
    // The transcriber starts capture on its thread; a quick hot key stops it
    // from another while the sound server is still setting the stream up.
    std::mt19937 random(25);
    std::uniform_int_distribution<int> gapMicroseconds(0, 10000);
    const auto startLines = [&] {
        const auto lines = logs->texts();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("[audio] startRecordingLive"); });
    };
    int leftOpen = 0;
    for (int pair = 0; pair < 100; ++pair) {
        std::thread starter([&] {
            try {
                processor->startRecordingLive();
            } catch (const std::exception& error) {
                ADD_FAILURE() << error.what();
            }
        });
        while (startLines() <= pair) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::microseconds(gapMicroseconds(random)));
        processor->stopRecording();
        starter.join();
        if (testsupport::ownSoundServerRecordings() != 0) ++leftOpen;
        processor->stopRecording();
    }
    EXPECT_EQ(leftOpen, 0) << "pairs after which the recording stayed open";
    EXPECT_EQ(testsupport::ownSoundServerRecordings(), 0);
}

TEST_F(DictaroAudioProcessorTest, RecordsAgainAfterTheSoundServerRestartsAndNeverResumesIntoNothing) {
    testsupport::PrivateSoundServer server;
    processor->setPreferredSource(testsupport::PrivateSoundServer::toneSource);
    const auto recordsBeyond = [&](std::size_t samples) {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (processor->audioSamples().size() <= samples && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        return processor->audioSamples().size() > samples;
    };
    processor->startRecordingLive();
    ASSERT_TRUE(recordsBeyond(0));
    processor->pauseRecording();

    // The paused recording went with the old server: resuming must say so
    // rather than go on listening to nothing.
    server.restart();
    std::string failure;
    try {
        processor->resumeRecordingLive();
    } catch (const std::exception& error) {
        failure = error.what();
    }
    EXPECT_EQ(failure, "The sound server could not record: Connection terminated");

    // The next dictation finds the server and the chosen input again.
    processor->stopRecording();
    EXPECT_TRUE(PermissionStatus::microphoneAuthorized());
    processor->startRecordingLive();
    EXPECT_TRUE(recordsBeyond(0));
    processor->stopRecording();
    const auto lines = logs->texts();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[audio] startRecordingLive — chosen=tone (always using internal capture, recording the "
                         "source by name; the system default input is left as it is)"),
              2);
}

TEST_F(DictaroAudioProcessorTest, ListsTheInputsWithTheirChannelsAfreshAndNoMonitors) {
    const auto channelsOf = [](const std::string& source) -> std::optional<int> {
        for (const DictaroAudioDevice& device : AudioInputPreference::availableInputDevices()) {
            if (device.id == platform::audio::deviceID(source)) return device.inputChannels;
        }
        return std::nullopt;
    };
    {
        RemappedSource six("mic6", "front-left,front-right,rear-left,rear-right,front-center,lfe",
                           "front-left,front-right,front-left,front-left,front-left,front-left");
        EXPECT_EQ(channelsOf("mic"), 2);
        EXPECT_EQ(channelsOf("mic6"), 6);
        EXPECT_EQ(channelsOf("null.monitor"), std::nullopt) << "an output's monitor is not a microphone";
    }
    EXPECT_EQ(channelsOf("mic6"), std::nullopt) << "an unplugged input must leave the list";
}

TEST_F(DictaroAudioProcessorTest, WithoutASoundServerRecordingIsNeitherAllowedNorStarted) {
    EXPECT_TRUE(PermissionStatus::microphoneAuthorized());
    const char* server = std::getenv("PULSE_SERVER");
    const std::optional<std::string> previous = server ? std::optional<std::string>(server) : std::nullopt;
    ::setenv("PULSE_SERVER", "unix:/nonexistent/dictaro-test-socket", 1);
    EXPECT_FALSE(PermissionStatus::microphoneAuthorized());
    std::string message;
    try {
        processor->startRecordingLive();
    } catch (const sonoscribe::WhisperError& error) {
        message = error.message();
    }
    processor->stopRecording();
    if (previous) {
        ::setenv("PULSE_SERVER", previous->c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
    EXPECT_EQ(message, "Multichannel input not ready (sampleRate=0.0 channels=0)");
    EXPECT_FALSE(contains(logs->texts(), "[audio] internal capture stopped"))
        << "a failed start leaves no capture behind";
}

}  // namespace
}  // namespace dictaro
