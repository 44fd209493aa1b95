// The engine over the synthetic base.en mel and encoder (random weights, real
// sizes) and a scripted decoder of base.en's sizes that writes 100 tokens per
// window: a 65-second recording, the engine's own time beside the model
// predictions it makes, a batch of eight recordings with 1, 4 and 8 workers,
// and live transcription fed in real time.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "speech/engine/AudioStreamTranscriber.h"
#include "tests/support/ReplayingAudioProcessor.h"
#include "speech/engine/Sonoscribe.h"
#include "tests/support/SpeechModelRepository.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/WhisperTokenizerFiles.h"

using Clock = std::chrono::steady_clock;
using namespace sonoscribe;

namespace {

double seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

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

}  // namespace

int main() {
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
            if (now.unconfirmedSegments != old.unconfirmedSegments || now.confirmedSegments != old.confirmedSegments) {
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
    std::sort(delays.begin(), delays.end());
    const double p95 = delays.empty() ? 0 : delays[delays.size() * 95 / 100];

    // One pass after 10 minutes of capture: the task decodes from the last
    // confirmed end, so only copying the buffer grows with it.
    auto task = engine->setupTranscribeTask(TranscriptionTimings(), nullptr, engine->audioProcessor(),
                                            engine->audioEncoder(), engine->featureExtractor(),
                                            engine->segmentSeeker(), engine->textDecoder(), engine->tokenizer());
    const std::vector<float> tenMinutes = noise(600 * 16000, 5);
    DecodingOptions tail = options;
    tail.clipTimestamps = {597.0f};
    const auto passStart = Clock::now();
    task->run(tenMinutes, tail, {});
    const double passSeconds = seconds(passStart);
    const std::vector<float> threeSeconds(tenMinutes.end() - 3 * 16000, tenMinutes.end());
    DecodingOptions whole = options;
    whole.clipTimestamps = {0.0f};
    const auto shortStart = Clock::now();
    task->run(threeSeconds, whole, {});
    const double shortSeconds = seconds(shortStart);

    std::printf("realtime_factor: %.4f\n", fileSeconds / 65.0);
    std::printf("engine_overhead_share: %.3f\n", (timings.fullPipeline - predictions) / timings.fullPipeline);
    std::printf("batch_audio_s_per_s_1_worker: %.1f\n", throughput[0]);
    std::printf("batch_audio_s_per_s_4_workers: %.1f\n", throughput[1]);
    std::printf("batch_audio_s_per_s_8_workers: %.1f\n", throughput[2]);
    std::printf("live_segment_delay_p95_s: %.3f\n", p95);
    std::printf("pass_ms_after_10_min: %.1f\n", passSeconds * 1000);
    std::printf("pass_after_10_min_over_3_s_buffer: %.2f\n", passSeconds / shortSeconds);
    return 0;
}
