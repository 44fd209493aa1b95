#pragma once

#include <memory>

#include <QPropertyAnimation>
#include <QWidget>

#include "app/dictation/DictationView.h"
#include "app/ui/PanelPlacement.h"

namespace platform {
class UserDefaults;
}

namespace dictaro {

class TranscriptViewController;

// The floating window a dictation is shown in. It stays on top, never takes
// the keyboard focus (the application being dictated into stays active), can
// be resized from any edge and moved by its background, and remembers both.
class TranscriptPanel : public QWidget, public DictationView {
public:
    explicit TranscriptPanel(std::shared_ptr<platform::UserDefaults> defaults, QWidget* parent = nullptr);
    ~TranscriptPanel() override;

    TranscriptViewController& transcriptView() { return *content_; }

    void render(const TranscriptDisplay& display) override;
    // A panel fading out counts as gone: a dictation started during the fade
    // shows it afresh instead of being hidden when the fade ends.
    bool isVisible() const override { return QWidget::isVisible() && !fadingOut_; }
    void showAtPersistedPosition() override;
    void dismiss() override;

    // Whether a compositor blends the rounded corners; without one the panel
    // is filled opaque and cut to shape.
    bool isTranslucent() const { return translucent_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    PanelRect frame() const;
    void setFrame(const PanelRect& frame);
    void updateCursor(QPoint inPanel);
    bool startsMove(QObject* pressed) const;

    PanelPlacement placement_;
    TranscriptViewController* content_;
    QPropertyAnimation fade_;
    bool fadingOut_ = false;
    bool translucent_;
    // The visible area of the screen the panel was last shown on, which its
    // resizes keep to.
    PanelRect screenArea_;
};

}  // namespace dictaro
