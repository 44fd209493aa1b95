#pragma once

#include <functional>
#include <vector>

#include <QWidget>

#include "app/dictation/TranscriptDisplay.h"
#include "app/ui/TranscriptRendering.h"

class QLabel;
class QTextEdit;

namespace dictaro {

class ElidedLabel;
class WaveformView;

namespace transcript_view {
class ControlButton;
class Indicator;
class Spinner;
class TargetBadge;
class Callout;
}  // namespace transcript_view

// The content of the transcript panel: the status line with its indicator
// or spinner and three round control buttons, the level meter, the
// read-only transcript, the tutorial callouts and the target badge. It keeps
// no dictation state: each render sets every control from one value.
class TranscriptViewController : public QWidget {
public:
    explicit TranscriptViewController(QWidget* parent = nullptr);

    std::function<std::vector<float>()> audioLevelsProvider;
    std::function<void()> onTogglePause;
    std::function<void()> onRestart;
    std::function<void()> onCancel;

    void render(const TranscriptDisplay& display);

    // What the tests look at.
    const WaveformView& waveform() const { return *waveform_; }
    WaveformView& waveform() { return *waveform_; }
    bool isIndicatorPulsing() const;
    bool isCalloutPulsing(TutorialStep step) const;
    QString transcriptText() const;

    static constexpr int controlButtonSize = 28;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void setControls(bool visible, bool paused);
    void setTutorialCallout(std::optional<TutorialStep> step);
    void insetText();
    void scrollTranscript(TranscriptRendering::Scroll scroll);
    void layOut();

    transcript_view::Indicator* indicator_;
    transcript_view::Spinner* spinner_;
    ElidedLabel* statusLabel_;
    QWidget* controlsStack_;
    transcript_view::ControlButton* pauseButton_;
    transcript_view::ControlButton* restartButton_;
    transcript_view::ControlButton* cancelButton_;
    WaveformView* waveform_;
    QTextEdit* transcriptView_;
    transcript_view::TargetBadge* targetBadge_;
    transcript_view::Callout* pauseCallout_;
    transcript_view::Callout* restartCallout_;
    transcript_view::Callout* cancelCallout_;
};

}  // namespace dictaro
