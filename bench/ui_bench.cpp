// The transcript panel's drawing costs under the X session of scripts/services
// (run it through scripts/with-services): one level-meter step with its paint,
// a render of a state change, and how evenly the meter's 60 Hz frames arrive;
// and of the whole application with its model loaded, the memory it holds
// while idle and the time from the hot key to the panel on the screen.
#include <QApplication>
#include <QEventLoop>
#include <QPaintEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <future>
#include <memory>
#include <optional>
#include <vector>

#include "app/dictation/TranscriptionStatus.h"
#include "app/ui/TranscriptPanel.h"
#include "app/ui/TranscriptViewController.h"
#include "app/ui/WaveformView.h"
#include "bench/BenchApplication.h"
#include "bench/BenchStatistics.h"
#include "platform/process/ChildProcess.h"
#include "platform/settings/UserDefaults.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/support/TempDirectory.h"

namespace {

using benchsupport::percentile;

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

std::vector<float> ramp() {
    std::vector<float> levels;
    for (int i = 0; i < 22; ++i) levels.push_back(0.01f * static_cast<float>(i % 7));
    return levels;
}

// Notes the largest area any widget of the panel other than the meter is
// asked to paint, so that a step that repaints more than its band shows.
class PaintWatch : public QObject {
public:
    PaintWatch(QWidget& panel, QWidget& meter) : panel_(panel), meter_(meter) {}
    long largestOtherPaint = 0;
    int meterPaints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() != QEvent::Paint || !widget || widget->window() != &panel_) return false;
        if (widget == &meter_) {
            ++meterPaints;
            return false;
        }
        // The panel below a see-through meter paints the band again, clipped to it.
        const QRect area = static_cast<QPaintEvent*>(event)->region().boundingRect();
        largestOtherPaint = std::max<long>(largestOtherPaint, static_cast<long>(area.width()) * area.height());
        return false;
    }

private:
    QWidget& panel_;
    QWidget& meter_;
};

// Notes when a window is first painted after it was armed.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(QWidget& window) : window_(window) {}
    void arm() { paintedAt.reset(); }
    std::optional<Clock::time_point> paintedAt;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() == QEvent::Paint && widget && widget->window() == &window_ && !paintedAt) {
            paintedAt = Clock::now();
        }
        return false;
    }

private:
    QWidget& window_;
};

// Presses the hot key of the launched application until its panel has been
// painted, and again until the dictation has closed it; the times from each
// first press.
std::vector<double> measureHotkeyToPanel(QApplication& application, benchsupport::BenchApplication& app) {
    dictaro::TranscriptPanel& panel = *app.delegate().panel();
    FirstPaint watch(panel);
    application.installEventFilter(&watch);
    std::vector<double> times;
    for (int round = 0; round < 15; ++round) {
        watch.arm();
        const auto start = Clock::now();
        auto pressing = std::async(std::launch::async,
                                   [] { platform::ChildProcess::run({"xdotool", "key", "super+alt+m"}); });
        benchsupport::serveUntil([&] { return watch.paintedAt.has_value(); });
        times.push_back(millisecondsBetween(start, watch.paintedAt.value_or(Clock::now())));
        pressing.wait();
        benchsupport::serveUntil(
            [&] { return app.transcription().status() == dictaro::TranscriptionStatus::recording(); });
        platform::ChildProcess::run({"xdotool", "key", "super+alt+m"});
        benchsupport::serveUntil([&] {
            return app.transcription().status() == dictaro::TranscriptionStatus::ready() && !panel.isVisible();
        });
    }
    application.removeEventFilter(&watch);
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    if (const auto fetched = benchsupport::BenchApplication::fetchIfAsked(argc, argv)) return *fetched;
    QApplication application(argc, argv);

    benchsupport::BenchApplication app(argv[0]);
    if (!app.launch()) {
        std::fprintf(stderr, "ui_bench: the application's model did not load\n");
        return 1;
    }
    desktoptest::keepServing(std::chrono::seconds(1));
    const double idleResident = benchsupport::residentMegabytes();
    std::vector<double> hotkeyToPanel;
    {
        const benchsupport::MicrophoneFeed microphone;
        hotkeyToPanel = measureHotkeyToPanel(application, app);
    }

    testsupport::TempDirectory dir;
    dictaro::TranscriptPanel panel(std::make_shared<platform::UserDefaults>(dir.path() / "settings.json"));
    dictaro::TranscriptViewController& view = panel.transcriptView();
    std::vector<Clock::time_point> frames;
    view.audioLevelsProvider = [&frames] {
        frames.push_back(Clock::now());
        return ramp();
    };
    panel.showAtPersistedPosition();
    desktoptest::waitUntil([&] { return panel.isVisible() && panel.windowOpacity() == 1.0; });
    desktoptest::keepServing(std::chrono::milliseconds(300));

    // The paused state keeps the meter running without the indicator's pulse,
    // so every paint in this stretch comes from the meter's steps.
    const dictaro::PasteTarget target{"Kate", dictaro::ContextProfile::Kind::code, std::nullopt};
    panel.render(dictaro::TranscriptDisplay::paused("A sentence dictated so far.", target));
    desktoptest::keepServing(std::chrono::milliseconds(200));
    dictaro::WaveformView& meter = view.waveform();
    PaintWatch watch(panel, meter);
    application.installEventFilter(&watch);
    frames.clear();
    // A plain event loop, as the application runs, so that the timer fires on time.
    QEventLoop loop;
    QTimer::singleShot(std::chrono::seconds(3), &loop, &QEventLoop::quit);
    loop.exec();
    application.removeEventFilter(&watch);
    const std::size_t meterFrames = frames.size();
    std::vector<double> jitter;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        jitter.push_back(std::abs(millisecondsBetween(frames[i - 1], frames[i]) - 1000.0 / 60));
    }

    std::vector<double> stepTimes;
    for (int round = 0; round < 600; ++round) {
        const auto start = Clock::now();
        meter.tick();
        meter.repaint();
        stepTimes.push_back(millisecondsBetween(start, Clock::now()));
    }

    const dictaro::TranscriptDisplay states[] = {
        dictaro::TranscriptDisplay::listening("A sentence dictated so far.", target),
        dictaro::TranscriptDisplay::paused("A sentence dictated so far.", target),
        dictaro::TranscriptDisplay::formatting("A sentence dictated so far.", target),
        dictaro::TranscriptDisplay::copied("Press Ctrl+V to paste it yourself."),
        dictaro::TranscriptDisplay::tutorial(dictaro::TutorialStep::restart),
        dictaro::TranscriptDisplay::ready(),
    };
    std::vector<double> renderTimes;
    for (int round = 0; round < 100; ++round) {
        for (const auto& state : states) {
            const auto start = Clock::now();
            panel.render(state);
            renderTimes.push_back(millisecondsBetween(start, Clock::now()));
        }
        QCoreApplication::processEvents();
    }

    const long band = static_cast<long>(meter.width()) * meter.height();
    std::printf("waveform_tick_paint_ms_median: %.3f\n", percentile(stepTimes, 0.5));
    std::printf("waveform_tick_paint_ms_p95: %.3f\n", percentile(stepTimes, 0.95));
    std::printf("waveform_band_px: %ld\n", band);
    std::printf("largest_other_paint_px: %ld\n", watch.largestOtherPaint);
    std::printf("repaints_only_band: %d\n", watch.largestOtherPaint <= band ? 1 : 0);
    std::printf("meter_frames_in_3s: %zu\n", meterFrames);
    std::printf("render_state_change_ms_median: %.3f\n", percentile(renderTimes, 0.5));
    std::printf("render_state_change_ms_p95: %.3f\n", percentile(renderTimes, 0.95));
    std::printf("frame_jitter_p95_ms: %.3f\n", jitter.empty() ? 0.0 : percentile(jitter, 0.95));
    std::printf("hotkey_to_panel_painted_ms_median: %.1f\n", percentile(hotkeyToPanel, 0.5));
    std::printf("hotkey_to_panel_painted_ms_p95: %.1f\n", percentile(hotkeyToPanel, 0.95));
    std::printf("idle_resident_mb: %.1f\n", idleResident);
    return 0;
}
