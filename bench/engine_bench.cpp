// The engine over the synthetic base.en mel and encoder (random weights, real
// sizes) and a scripted decoder of base.en's sizes that writes 100 tokens per
// window: a 65-second recording, the engine's own time beside the model
// predictions it makes, a batch of eight recordings with 1, 4 and 8 workers,
// live transcription fed in real time, one live pass at the end of a long
// recording, and the engine's own capture and sample store over long
// recordings. The live parts need the test session's sound server and pipe
// microphone (scripts/bench starts them).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchStatistics.h"
#include "speech/engine/AudioStreamTranscriber.h"
#include "speech/engine/Sonoscribe.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/ReplayingAudioProcessor.h"
#include "tests/support/SpeechModelRepository.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/WhisperTokenizerFiles.h"

using Clock = std::chrono::steady_clock;
using namespace sonoscribe;
using benchsupport::median;

namespace {

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

constexpr int64_t rate = 16000;

std::vector<float> noise(std::size_t samples, uint32_t seed) {
    std::vector<float> audio(samples);
    for (float& sample : audio) {
        seed = seed * 1664525u + 1013904223u;
        sample = static_cast<float>(seed >> 8) / static_cast<float>(1u << 24) * 0.2f - 0.1f;
    }
    return audio;
}

// 100 tokens a window: the prompt, <|0.00|>, 96 varied text tokens, <|20.00|>, end.
testsupport::ScriptedDecoder hundredTokenDecoder() {
    testsupport::ScriptedDecoder decoder;
    decoder.dims = testsupport::TrioDimensions::baseEn();
    decoder.endToken = 50256;
    const int64_t startOfTranscript = 50257;
    const int64_t firstTimestamp = 50363;
    decoder.script = {startOfTranscript, firstTimestamp};
    for (int64_t i = 0; i < 96; ++i) decoder.script.push_back(262 + (i * 7919) % 40000);
    decoder.script.push_back(firstTimestamp + 1000);
    decoder.script.push_back(decoder.endToken);
    return decoder;
}

// Appends `seconds` of noise to the store in 0.1 s buffers, as capture does.
void record(AudioProcessor& store, int64_t seconds, uint32_t seed) {
    for (int64_t b = 0; b < seconds * 10; ++b) store.processBuffer(noise(1600, seed + static_cast<uint32_t>(b)));
}

// A ten-minute 48 kHz recording through the engine's own capture from the
// session's pipe microphone, which records as fast as it is played to: the
// samples it loses against the exact count at 16 kHz.
int64_t liveLostSamples() {
    testsupport::UnpacedMicrophone microphone;
    auto processor = std::make_shared<AudioProcessor>();
    std::atomic<int64_t> buffers{0};
    processor->startRecordingLive(std::nullopt, [&](const std::vector<float>&) { ++buffers; });
    // Two seconds at a time, 60 tap buffers of 1600 frames: a flood of the
    // pipe would overrun the sound server's buffer.
    for (int64_t played = 60; played <= 18000; played += 60) {
        microphone.play(440, 2.0);
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (buffers < played) {
            if (Clock::now() > deadline) throw std::runtime_error("the capture stopped taking buffers");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    processor->stopRecording();
    return 600 * rate - processor->audioSampleCount();
}

// What one 100 ms poll of the live transcriber reads of the store: the sample
// count, and for the voice check the energies of just over a second of new
// audio. Median milliseconds.
double pollMilliseconds(const AudioProcessor& store) {
    std::vector<double> costs;
    int64_t seen = 0;
    for (int i = 0; i < 2000; ++i) {
        const auto start = Clock::now();
        seen += store.audioSampleCount() + static_cast<int64_t>(store.latestRelativeEnergy(12).size());
        costs.push_back(seconds(start) * 1000);
    }
    if (seen == 0) std::exit(1);
    return median(costs);
}

// Capture appending 0.1 s buffers to the store while a reader makes the live
// transcriber's reads over and over (a poll's, a pass's last 30 s, the whole
// energy list it reports): the longest an append took, waiting for the lock
// and holding it, in milliseconds. Of three rounds of 1000 appends, the
// quietest: on a shared machine a round's longest is often a preemption.
double longestAppendMilliseconds(AudioProcessor& store) {
    const std::vector<float> buffer = noise(1600, 7);
    double quietest = std::numeric_limits<double>::infinity();
    for (int round = 0; round < 3; ++round) {
        std::atomic<bool> capturing{true};
        std::thread reader([&] {
            while (capturing) {
                const int64_t count = store.audioSampleCount();
                store.latestRelativeEnergy(12);
                store.audioSampleRange(count - 30 * rate, count);
                store.relativeEnergy();
            }
        });
        double longest = 0;
        for (int b = 0; b < 1000; ++b) {
            const auto start = Clock::now();
            store.processBuffer(buffer);
            longest = std::max(longest, seconds(start) * 1000);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        capturing = false;
        reader.join();
        quietest = std::min(quietest, longest);
    }
    return quietest;
}

}  // namespace

int main() try {
    testsupport::TempDirectory folder;
    const auto modelFolder = testsupport::writeScriptedModelFolder(folder.path() / "model", hundredTokenDecoder());
    SonoscribeConfig config;
    config.modelFolder = modelFolder.string();
    config.download = false;
    const auto engine = Sonoscribe::create(config);

    // One 65-second recording.
    DecodingOptions options;
    options.language = "en";
    const std::vector<float> recording = noise(65 * 16000, 1);
    engine->transcribe(noise(20 * 16000, 2), options);  // warm up
    const auto fileStart = Clock::now();
    const auto result = engine->transcribe(recording, options).front();
    const double fileSeconds = seconds(fileStart);
    const TranscriptionTimings timings = result->timings();
    const double predictions = timings.logmels + timings.encoding + timings.decodingPredictions;
    std::printf("65 s recording: %.3f s, %g windows, %g tokens\n", fileSeconds, timings.totalDecodingWindows,
                timings.totalDecodingLoops);

    // Eight recordings with 1, 4 and 8 workers.
    std::vector<std::vector<float>> batch;
    for (uint32_t i = 0; i < 8; ++i) batch.push_back(noise(30 * 16000, 10 + i));
    double throughput[3] = {};
    const int workers[3] = {1, 4, 8};
    for (int w = 0; w < 3; ++w) {
        DecodingOptions batchOptions = options;
        batchOptions.concurrentWorkerCount = workers[w];
        const auto start = Clock::now();
        engine->transcribeWithResults(batch, batchOptions);
        throughput[w] = 8 * 30 / seconds(start);
        std::printf("batch of 8 with %d workers: %.1f audio seconds per second\n", workers[w], throughput[w]);
    }

    // Live: 20 s fed in 100 ms buffers at real time; the delay from a buffer
    // reaching the processor to the first state holding a pass over it.
    const auto processor = std::make_shared<testing::ReplayingAudioProcessor>();
    std::mutex mutex;
    std::vector<std::pair<int64_t, Clock::time_point>> passes;
    const auto live = AudioStreamTranscriber::create(
        engine->audioEncoder(), engine->featureExtractor(), engine->segmentSeeker(), engine->textDecoder(),
        engine->tokenizer(), processor, options, 2, 0.3f, 60, false,
        [&](const AudioStreamTranscriber::State& old, const AudioStreamTranscriber::State& now) {
            // A pass's result reaches the state by first emptying the current
            // text; its segments follow at once, whether or not they differ
            // from the last pass's.
            if ((!old.currentText.empty() && now.currentText.empty()) ||
                now.unconfirmedSegments != old.unconfirmedSegments || now.confirmedSegments != old.confirmedSegments) {
                std::lock_guard lock(mutex);
                passes.emplace_back(now.lastBufferSize, Clock::now());
            }
        });
    std::thread loop([&] { live->startStreamTranscription(); });
    std::vector<std::pair<int64_t, Clock::time_point>> fed;
    const std::vector<float> speech = noise(20 * 16000, 99);
    const auto liveStart = Clock::now();
    for (std::size_t at = 0; at < speech.size(); at += 1600) {
        std::this_thread::sleep_until(liveStart + std::chrono::milliseconds(100 * (at / 1600 + 1)));
        processor->feed(std::vector<float>(speech.begin() + static_cast<std::ptrdiff_t>(at),
                                           speech.begin() + static_cast<std::ptrdiff_t>(at + 1600)));
        fed.emplace_back(static_cast<int64_t>(at + 1600), Clock::now());
    }
    live->stopStreamTranscription();
    loop.join();
    std::vector<double> delays;
    for (const auto& [samples, when] : fed) {
        for (const auto& [covered, shown] : passes) {
            if (covered >= samples) {
                delays.push_back(std::chrono::duration<double>(shown - when).count());
                break;
            }
        }
    }
    if (delays.empty()) {
        std::printf("live_delays_measured: 0\n");
        std::fprintf(stderr, "engine_bench: the live stream made no pass, so no delay was measured "
                             "(is the sound server up? run under scripts/bench or scripts/with-services)\n");
        return 1;
    }
    const double p95 = benchsupport::percentile(delays, 0.95);

    // One live pass at the end of a recording, as the transcriber makes it:
    // the samples from the last confirmed end read from the store, then the
    // task over them. After ten minutes, against a 3 s recording; a first
    // pass warms the task, and the two take turns, five times each.
    auto task = engine->setupTranscribeTask(TranscriptionTimings(), nullptr, engine->audioProcessor(),
                                            engine->audioEncoder(), engine->featureExtractor(),
                                            engine->segmentSeeker(), engine->textDecoder(), engine->tokenizer());
    AudioProcessor tenMinutes;
    record(tenMinutes, 600, 5);
    AudioProcessor threeSeconds;
    record(threeSeconds, 3, 5);
    auto livePass = [&](const AudioProcessor& store, float confirmedEnd) {
        DecodingOptions pass = options;
        pass.clipTimestamps = {confirmedEnd};
        const auto start = Clock::now();
        const int64_t count = store.audioSampleCount();
        const int64_t from = std::clamp<int64_t>(pass.prepareSeekClips(count).front().start, 0, count);
        task->run(store.audioSampleRange(from, count), pass, {}, from);
        return seconds(start);
    };
    livePass(threeSeconds, 0.0f);
    std::vector<double> longPasses;
    std::vector<double> shortPasses;
    for (int round = 0; round < 5; ++round) {
        longPasses.push_back(livePass(tenMinutes, 597.0f));
        shortPasses.push_back(livePass(threeSeconds, 0.0f));
    }
    const double passSeconds = median(longPasses);
    const double shortSeconds = median(shortPasses);

    // The engine's own capture over ten minutes, then the store's reads and
    // appends after one and sixty minutes.
    const int64_t lostSamples = liveLostSamples();
    AudioProcessor hour;
    record(hour, 60, 11);
    const double pollOneMinute = pollMilliseconds(hour);
    record(hour, 59 * 60, 12);
    const double pollSixtyMinutes = pollMilliseconds(hour);
    const double longestAppend = longestAppendMilliseconds(hour);

    std::printf("realtime_factor: %.4f\n", fileSeconds / 65.0);
    std::printf("engine_overhead_share: %.3f\n", (timings.fullPipeline - predictions) / timings.fullPipeline);
    std::printf("batch_audio_s_per_s_1_worker: %.1f\n", throughput[0]);
    std::printf("batch_audio_s_per_s_4_workers: %.1f\n", throughput[1]);
    std::printf("batch_audio_s_per_s_8_workers: %.1f\n", throughput[2]);
    std::printf("live_segment_delay_p95_s: %.3f\n", p95);
    std::printf("live_delays_measured: %zu\n", delays.size());
    std::printf("pass_ms_after_10_min: %.1f\n", passSeconds * 1000);
    std::printf("pass_after_10_min_over_3_s_buffer: %.2f\n", passSeconds / shortSeconds);
    std::printf("live_lost_samples_10_min: %lld\n", static_cast<long long>(lostSamples));
    std::printf("live_poll_ms_1_min: %.6f\n", pollOneMinute);
    std::printf("live_poll_ms_60_min: %.6f\n", pollSixtyMinutes);
    std::printf("capture_lock_hold_ms_60_min: %.3f\n", longestAppend);
    return 0;
} catch (const std::exception& error) {
    std::fprintf(stderr, "engine_bench: %s\n", error.what());
    return 1;
}
