// The transcript panel's drawing costs under the X session of scripts/services
// (run it through scripts/with-services): one level-meter step with its paint,
// a render of a state change, and how evenly the meter's 60 Hz frames arrive.
#include <QApplication>
#include <QEventLoop>
#include <QPaintEvent>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/ui/TranscriptPanel.h"
#include "app/ui/TranscriptViewController.h"
#include "app/ui/WaveformView.h"
#include "platform/settings/UserDefaults.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/support/TempDirectory.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsBetween(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(share * static_cast<double>(values.size())))];
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

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
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
    return 0;
}
