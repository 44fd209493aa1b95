#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "mlcore/foundation/Logging.h"
#include "platform/audio/AudioDevices.h"
#include "platform/audio/BufferFeed.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/ToneFiles.h"

// A thread that turns counting on has each of its allocations counted, so
// that what the capture thread allocates shows. The array forms come here
// through these.
namespace {
thread_local bool countingAllocations = false;
std::atomic<long> countedAllocations{0};

void* allocate(std::size_t size) {
    if (countingAllocations) ++countedAllocations;
    return std::malloc(size == 0 ? 1 : size);
}
// Kept out of line: inlined, the compiler takes the free for a mismatch
// with the new it meets at the call site.
[[gnu::noinline]] void release(void* memory) noexcept { std::free(memory); }
}  // namespace

void* operator new(std::size_t size) {
    if (void* memory = allocate(size)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { release(memory); }
void operator delete(void* memory, std::size_t) noexcept { release(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { release(memory); }

namespace sonoscribe {
namespace {

using namespace std::chrono_literals;
using testsupport::toneAmplitude;

// The test run's microphone "mic" hears what is played, 48 kHz stereo.
using Microphone = testsupport::UnpacedMicrophone;

// Waits up to ten seconds for the condition.
bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Buffers handed to the callback, from the capture thread.
class Received {
public:
    AudioBufferCallback callback() {
        return [this](const std::vector<float>& buffer) {
            std::lock_guard lock(mutex_);
            buffers_.push_back(buffer);
        };
    }
    std::vector<std::vector<float>> buffers() {
        std::lock_guard lock(mutex_);
        return buffers_;
    }

private:
    std::mutex mutex_;
    std::vector<std::vector<float>> buffers_;
};

std::vector<float> slice(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    return {samples.begin() + static_cast<std::ptrdiff_t>(from), samples.begin() + static_cast<std::ptrdiff_t>(to)};
}

std::vector<float> joined(const std::vector<std::vector<float>>& buffers) {
    std::vector<float> all;
    for (const auto& buffer : buffers) all.insert(all.end(), buffer.begin(), buffer.end());
    return all;
}

// A processor whose capture thread, when asked, stalls once in the middle of
// a buffer, after converting it and before handing it on.
class StallingProcessor : public AudioProcessor {
public:
    bool isInputSuppressed() const override {
        if (stallNext.exchange(false)) {
            stalled = true;
            std::this_thread::sleep_for(300ms);
        }
        return AudioProcessor::isInputSuppressed();
    }

    mutable std::atomic<bool> stallNext{false};
    mutable std::atomic<bool> stalled{false};
};

// Five minutes of tap buffers at the common microphone rates: what the
// resampler gives for them, with the little it still holds at the end, is
// the exact count at 16 kHz.
TEST(LiveCapture, ResamplingTapBuffersLosesNoSamples) {
    using platform::audio::AVAudioFormat;
    for (const double rate : {48000.0, 44100.0}) {
        SCOPED_TRACE(rate);
        const AVAudioFormat tapFormat = *AVAudioFormat::standardFormat(rate, 2);
        const AVAudioFormat desired = *AVAudioFormat::standardFormat(16000, 1);
        const auto converter = platform::audio::AVAudioConverter::create(tapFormat, desired);
        const auto tapped = platform::audio::AVAudioPCMBuffer::create(tapFormat, 1600);
        for (uint32_t i = 0; i < 1600; ++i) {
            const auto value = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 440 * i / rate));
            tapped->channelData(0)[i] = tapped->channelData(1)[i] = value;
        }
        tapped->setFrameLength(1600);
        const auto buffers = static_cast<int64_t>(std::ceil(300 * rate / 1600));
        int64_t produced = 0;
        for (int64_t b = 0; b < buffers; ++b) produced += AudioProcessor::resampleBuffer(*tapped, *converter)->frameLength();
        const auto tail = platform::audio::AVAudioPCMBuffer::create(desired, 4096);
        converter->convert(*tail, nullptr, platform::audio::BufferFeed(nullptr, true));
        EXPECT_LT(tail->frameLength(), 100u) << "the resampler held back more than its filter needs";
        EXPECT_NEAR(static_cast<double>(produced + tail->frameLength()), static_cast<double>(buffers) * 1600 * 16000 / rate, 1);
    }
}

TEST(LiveCapture, ListsTheMicrophoneWithStableNumbers) {
    const auto sources = platform::audio::listInputSources();
    ASSERT_TRUE(sources.has_value()) << "the sound server cannot be reached";
    const platform::audio::InputSource* mic = nullptr;
    for (const auto& source : *sources) {
        EXPECT_EQ(source.pulseName.find(".monitor"), std::string::npos) << source.pulseName;
        if (source.pulseName == "mic") mic = &source;
    }
    ASSERT_NE(mic, nullptr);
    EXPECT_EQ(mic->channelCount, 2u);
    EXPECT_EQ(mic->sampleRate, 48000);
    EXPECT_NE(mic->id, 0u);
    EXPECT_EQ(platform::audio::deviceID("mic"), mic->id);
    EXPECT_EQ(platform::audio::pulseName(mic->id), "mic");
    EXPECT_EQ(platform::audio::pulseName(mic->id + 1000), std::nullopt);

    const std::vector<AudioDevice> devices = AudioProcessor::getAudioDevices();
    EXPECT_EQ(devices.size(), sources->size());
    EXPECT_EQ(AudioProcessor::getAudioDevices(), devices);
    bool listed = false;
    for (const AudioDevice& device : devices) listed = listed || (device.id == mic->id && device.name == mic->description);
    EXPECT_TRUE(listed);
    EXPECT_TRUE(AudioProcessor::requestRecordPermission());
}

// One recording through start, pause, resume and stop: what the microphone
// hears arrives as 16 kHz mono, one energy record and one callback per
// buffer; a resume goes on after what was kept, and a stop keeps it all and
// loses no sample.
TEST(LiveCapture, RecordsPausesResumesAndStops) {
    Microphone microphone;
    auto processor = std::make_shared<AudioProcessor>();
    Received received;
    processor->startRecordingLive(std::nullopt, received.callback());
    ASSERT_NE(processor->audioEngine(), nullptr);

    // 48000 frames make exactly 30 tap buffers of 1600 frames.
    microphone.play(1000, 1.0);
    ASSERT_TRUE(eventually([&] { return processor->audioEnergy().size() >= 30; }));
    std::vector<float> samples = processor->audioSamples();
    const std::vector<std::vector<float>> buffers = received.buffers();
    ASSERT_EQ(buffers.size(), 30u);
    std::vector<float> joined;
    for (const auto& buffer : buffers) joined.insert(joined.end(), buffer.begin(), buffer.end());
    EXPECT_EQ(joined, samples);
    EXPECT_NEAR(static_cast<double>(samples.size()), 16000, 40);
    EXPECT_NEAR(toneAmplitude(slice(samples, 4000, 12000), 1000, 16000), 0.5, 0.02);
    const std::vector<AudioEnergy> energy = processor->audioEnergy();
    EXPECT_EQ(energy.front().rel, 0);
    EXPECT_NEAR(energy[10].avg, 0.5 / std::numbers::sqrt2, 0.01);
    EXPECT_NEAR(energy[10].max, 0.5, 0.01);

    // A paused source stops reading the pipe, so nothing is played meanwhile.
    processor->pauseRecording();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(processor->audioSamples().size(), samples.size());

    processor->resumeRecordingLive();
    microphone.play(500, 1.0);
    ASSERT_TRUE(eventually([&] { return processor->audioEnergy().size() >= 60; }));
    const std::vector<float> resumed = processor->audioSamples();
    EXPECT_EQ(slice(resumed, 0, samples.size()), samples);
    const std::vector<float> after = slice(resumed, samples.size() + 4000, resumed.size() - 2000);
    EXPECT_NEAR(toneAmplitude(after, 500, 16000), 0.5, 0.02);
    EXPECT_LT(toneAmplitude(after, 1000, 16000), 0.01);
    EXPECT_EQ(received.buffers().size(), 60u);

    processor->stopRecording();
    EXPECT_EQ(processor->audioEngine(), nullptr);
    // The stop keeps it all and adds what the resampler held back: the two
    // seconds played, to the sample.
    const std::vector<float> stopped = processor->audioSamples();
    EXPECT_EQ(slice(stopped, 0, resumed.size()), resumed);
    EXPECT_EQ(stopped.size(), 32000u);
    // After a stop a resume has nothing to start.
    processor->resumeRecordingLive();
    EXPECT_EQ(processor->audioEngine(), nullptr);
}

// A restart ends the running capture before the new recording begins: a
// buffer the old tap is still handing on never reaches the new one.
TEST(LiveCapture, ARestartBeginsAfterTheOldCaptureHasEnded) {
    Microphone microphone;
    auto processor = std::make_shared<StallingProcessor>();
    Received before;
    processor->startRecordingLive(std::nullopt, before.callback());
    processor->stallNext = true;
    microphone.play(1000, 1.0);
    ASSERT_TRUE(eventually([&] { return processor->stalled.load(); }));

    Received after;
    processor->startRecordingLive(std::nullopt, after.callback());
    microphone.play(500, 1.0);
    ASSERT_TRUE(eventually([&] { return after.buffers().size() >= 20; }));
    processor->stopRecording();
    EXPECT_EQ(processor->audioSamples(), joined(after.buffers()));
}

// A start that fails keeps the engine it found, though that engine has lost
// its tap: a resume then records again, or says why it cannot.
TEST(LiveCapture, AResumeAfterAFailedStartRecordsOrFails) {
    Microphone microphone;
    auto processor = std::make_shared<AudioProcessor>();
    processor->startRecordingLive();
    const auto engine = processor->audioEngine();
    processor->setMinBufferLength(0);
    EXPECT_THROW(processor->startRecordingLive(), WhisperError);
    EXPECT_EQ(processor->audioEngine(), engine);
    EXPECT_THROW(processor->resumeRecordingLive(), WhisperError) << "a capture that cannot record was resumed";

    processor->setMinBufferLength(1600);
    processor->resumeRecordingLive();
    microphone.play(1000, 0.5);
    EXPECT_TRUE(eventually([&] { return processor->audioEnergy().size() >= 15; })) << "the resumed capture records nothing";
    processor->stopRecording();
}

// Once capture runs, a tap buffer costs the capture thread no allocation: it
// resamples into and copies out to buffers it keeps. Only the sample store
// grows, by a chunk of 30 s (and a longer list of chunks), so 40 s of buffers
// may take two.
TEST(LiveCapture, TheTapAllocatesNothingPerBuffer) {
    Microphone microphone;
    auto processor = std::make_shared<AudioProcessor>();
    std::atomic<int> buffers{0};
    processor->startRecordingLive(std::nullopt, [&](const std::vector<float>&) {
        if (++buffers == 10) countingAllocations = true;
    });
    // Two seconds at a time: the pipe is no clock, and a flood of it would
    // overrun the sound server's buffer.
    for (int played = 60; played <= 1200; played += 60) {
        microphone.play(440, 2.0);
        ASSERT_TRUE(eventually([&] { return buffers >= played; })) << buffers;
    }
    processor->stopRecording();
    EXPECT_LE(countedAllocations.load(), 2) << "over " << buffers - 10 << " buffers";
}

// A device number that names no input is only logged: capture goes on from
// the default input, as it does for the microphone's own number.
TEST(LiveCapture, RecordsFromTheChosenOrTheDefaultInput) {
    Microphone microphone;
    const uint32_t mic = platform::audio::deviceID("mic");
    celvan::Logging::updateLogLevel(celvan::Logging::LogLevel::info);
    for (const uint32_t device : {mic, mic + 1000}) {
        SCOPED_TRACE(device);
        auto logged = std::make_shared<std::vector<std::string>>();
        celvan::Logging::updateCallback([logged](const std::string& message) { logged->push_back(message); });
        auto processor = std::make_shared<AudioProcessor>();
        processor->startRecordingLive(device);
        celvan::Logging::updateCallback(nullptr);
        EXPECT_EQ(*logged, std::vector<std::string>{device == mic ? "Successfully set input device."
                                                                  : "Error setting Audio Unit property: -1"});
        EXPECT_EQ(processor->lastInputDevice(), device);
        microphone.play(1000, 0.5);
        ASSERT_TRUE(eventually([&] { return processor->audioEnergy().size() >= 15; }));
        EXPECT_NEAR(toneAmplitude(slice(processor->audioSamples(), 2000, 6000), 1000, 16000), 0.5, 0.02);
        processor->stopRecording();
    }
}

// The stream form yields every buffer, and ending the stream ends capture.
TEST(LiveCapture, StreamingEndsCaptureWithItsStream) {
    Microphone microphone;
    auto processor = std::make_shared<AudioProcessor>();
    {
        auto [stream, continuation] = processor->startStreamingRecordingLive();
        microphone.play(1000, 0.5);
        std::size_t count = 0;
        for (int i = 0; i < 15; ++i) {
            const std::optional<std::vector<float>> buffer = stream.next();
            ASSERT_TRUE(buffer.has_value());
            count += buffer->size();
        }
        EXPECT_EQ(count, processor->audioSamples().size());
        continuation.finish();
    }
    EXPECT_TRUE(eventually([&] { return processor->audioEngine() == nullptr; }));
    EXPECT_EQ(processor->audioBufferCallback(), nullptr);
}

}  // namespace
}  // namespace sonoscribe
