// How long the desktop side of a dictation takes, under the X session of
// scripts/services (run it through scripts/with-services): a hot-key press
// until its handler runs and until the whole application records, a finished
// text until it stands in the target window, and what the capture costs per
// buffer. Each time is the median of several rounds, next to the time of the
// xdotool run that presses the key, which the hot-key figures include.
#include <QApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <new>
#include <vector>

#include "app/dictation/AppIdentity.h"
#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Paster.h"
#include "app/dictation/TranscriptionStatus.h"
#include "app/ui/TranscriptPanel.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/process/ChildProcess.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"
#include "bench/BenchApplication.h"
#include "bench/BenchStatistics.h"
#include "tests/desktop/DesktopSession.h"

// Counts the allocations of the thread that asks, so that the capture path's
// own show.
namespace {
thread_local bool countingAllocations = false;
thread_local long allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    if (countingAllocations) ++allocations;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }

namespace {

using benchsupport::median;
using benchsupport::percentile;
using Clock = std::chrono::steady_clock;
constexpr int rounds = 15;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct CaptureCost {
    double medianMs;
    double p95Ms;
    double maxMs;
    double allocationsPerBuffer;
    long buffersAllocating;
    long buffers;
};

// Five minutes of 48 kHz stereo microphone buffers of the tap's size through
// the application's capture tap (mono fold, resample to 16 kHz, hand to the
// processor), on one thread as the audio thread runs it.
CaptureCost measureCapturePath() {
    using platform::audio::AVAudioFormat;
    using platform::audio::AVAudioPCMBuffer;
    const auto processor = std::make_shared<dictaro::DictaroAudioProcessor>();
    const uint32_t frames = dictaro::DictaroAudioProcessor::tapBufferFrames;
    const AVAudioFormat hardware = *AVAudioFormat::standardFormat(48000, 2);
    const auto tap = processor->makeCaptureTap(hardware);
    const auto tapped = AVAudioPCMBuffer::create(hardware, frames);
    tapped->setFrameLength(frames);
    std::vector<double> times;
    long counted = 0;
    long buffersAllocating = 0;
    const int buffers = 5 * 60 * 48000 / static_cast<int>(frames);
    times.reserve(static_cast<std::size_t>(buffers));
    for (int i = 0; i < buffers; ++i) {
        for (uint32_t f = 0; f < frames; ++f) {
            const float phase = 0.05f * static_cast<float>(i * frames + f);
            tapped->channelData(0)[f] = 0.1f * std::sin(phase);
            tapped->channelData(1)[f] = 0.1f * std::cos(phase);
        }
        allocations = 0;
        countingAllocations = true;
        const auto start = Clock::now();
        tap(*tapped);
        const double elapsed = millisecondsSince(start);
        countingAllocations = false;
        times.push_back(elapsed);
        counted += allocations;
        if (allocations > 0) ++buffersAllocating;
    }
    // 48 kHz in, 16 kHz out: a third of the frames, less the resampler's delay.
    if (static_cast<double>(processor->audioSamples().size()) < 0.99 * buffers * frames / 3) {
        std::fprintf(stderr, "dictation_bench: the capture path dropped samples\n");
    }
    return {median(times), percentile(times, 0.95), percentile(times, 1.0),
            static_cast<double>(counted) / static_cast<double>(buffers), buffersAllocating, buffers};
}

// Presses the hot key of the launched application until it records and
// again until the dictation has closed, and returns the times from each
// first press until the capture held its first samples, and until the
// service said it records.
std::pair<std::vector<double>, std::vector<double>> measureHotkeyToRecording(benchsupport::BenchApplication& app) {
    std::vector<double> toSamples;
    std::vector<double> toStatus;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        auto pressing = std::async(std::launch::async,
                                   [] { platform::ChildProcess::run({"xdotool", "key", "super+alt+m"}); });
        std::optional<double> statusAt;
        benchsupport::serveUntil([&] {
            if (!statusAt && app.transcription().status() == dictaro::TranscriptionStatus::recording()) {
                statusAt = millisecondsSince(start);
            }
            return statusAt && !app.processor().audioSamples().empty();
        });
        toSamples.push_back(millisecondsSince(start));
        toStatus.push_back(statusAt.value_or(0));
        pressing.wait();
        platform::ChildProcess::run({"xdotool", "key", "super+alt+m"});
        benchsupport::serveUntil([&] {
            return app.transcription().status() == dictaro::TranscriptionStatus::ready() &&
                   !app.delegate().panel()->isVisible();
        });
    }
    return {toSamples, toStatus};
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto fetched = benchsupport::BenchApplication::fetchIfAsked(argc, argv)) return *fetched;
    QApplication application(argc, argv);
    benchsupport::BenchApplication app(argv[0]);
    desktoptest::TargetWindow target(desktoptest::TargetWindow::Options{});
    if (!target.waitUntilActive()) {
        std::fprintf(stderr, "dictation_bench: the target window did not come up (is the X session running?)\n");
        return 1;
    }

    std::vector<double> xdotoolRuns;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        platform::ChildProcess::run({"xdotool", "key", "shift"});
        xdotoolRuns.push_back(millisecondsSince(start));
    }

    std::vector<double> hotkeyRuns;
    {
        int presses = 0;
        dictaro::HotkeyManager manager;
        manager.registerAction(dictaro::HotkeyManager::Action::toggle, [&] { ++presses; });
        for (int i = 0; i < rounds; ++i) {
            const auto start = Clock::now();
            // The next round waits for this xdotool's releases: a press
            // before them would be a repeat.
            auto pressing = std::async(std::launch::async,
                                       [] { platform::ChildProcess::run({"xdotool", "key", "super+alt+m"}); });
            desktoptest::waitUntil([&] { return presses == i + 1; });
            hotkeyRuns.push_back(millisecondsSince(start));
            pressing.wait();
        }
    }

    platform::clipboard::Pasteboard pasteboard;
    platform::x11::Workspace workspace;
    platform::x11::SyntheticKeys keys;
    dictaro::Paster paster({pasteboard, workspace, keys, [] { return true; }});
    const auto captured = workspace.frontmostApplication();
    std::vector<double> pasteRuns;
    std::string expected;
    for (int i = 0; i < rounds; ++i) {
        const std::string text = "Round " + std::to_string(i) + " of the paste.";
        expected += text;
        const auto start = Clock::now();
        desktoptest::whileServing([&] { return paster.paste(text, captured); });
        desktoptest::waitUntil([&] { return target.text() == expected; });
        pasteRuns.push_back(millisecondsSince(start));
    }
    const bool allArrived = target.text() == expected;

    const CaptureCost capture = measureCapturePath();
    if (!app.launch()) {
        std::fprintf(stderr, "dictation_bench: the application's model did not load\n");
        return 1;
    }
    target.waitUntilActive();
    const benchsupport::MicrophoneFeed microphone;
    const auto [toSamples, toStatus] = measureHotkeyToRecording(app);

    std::printf("xdotool_run_ms: %.1f\n", median(xdotoolRuns));
    std::printf("hotkey_press_to_handler_ms: %.1f\n", median(hotkeyRuns));
    std::printf("paste_to_text_ms: %.1f\n", median(pasteRuns));
    std::printf("paste_fixed_waits_ms: %lld\n",
                static_cast<long long>((dictaro::Paster::settleBeforeKeystroke + dictaro::Paster::afterFetch).count()));
    std::printf("paste_all_arrived: %d\n", allArrived ? 1 : 0);
    std::printf("hotkey_to_recording_status_ms: %.1f\n", median(toStatus));
    std::printf("hotkey_to_first_samples_ms: %.1f\n", median(toSamples));
    std::printf("capture_buffer_ms_median: %.4f\n", capture.medianMs);
    std::printf("capture_buffer_ms_p95: %.4f\n", capture.p95Ms);
    std::printf("capture_buffer_ms_max: %.4f\n", capture.maxMs);
    std::printf("capture_allocations_per_buffer: %.4f\n", capture.allocationsPerBuffer);
    std::printf("capture_buffers_allocating: %ld\n", capture.buffersAllocating);
    std::printf("capture_buffers: %ld\n", capture.buffers);
    return allArrived ? 0 : 1;
}
