#include "app/ui/TranscriptViewController.h"

#include <cmath>

#include <QAbstractButton>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTextEdit>
#include <QTextFrame>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include "app/ui/ElidedLabel.h"
#include "app/ui/PanelGeometry.h"
#include "app/ui/Theme.h"
#include "app/ui/WaveformView.h"

namespace dictaro {
namespace transcript_view {

// An opacity that breathes from 1 down to 0.35 and back, forever, until stopped.
class OpacityPulse {
public:
    OpacityPulse(QWidget& widget, int halfPeriodMs) : effect_(new QGraphicsOpacityEffect(&widget)) {
        effect_->setOpacity(1);
        widget.setGraphicsEffect(effect_);
        animation_ = new QPropertyAnimation(effect_, "opacity", effect_);
        animation_->setDuration(2 * halfPeriodMs);
        animation_->setKeyValueAt(0, 1.0);
        animation_->setKeyValueAt(0.5, 0.35);
        animation_->setKeyValueAt(1, 1.0);
        animation_->setEasingCurve(QEasingCurve::InOutSine);
        animation_->setLoopCount(-1);
    }

    // A pulse already running is left alone, so repeated renders do not restart it.
    void start() {
        if (!isRunning()) animation_->start();
    }
    void stop() {
        animation_->stop();
        effect_->setOpacity(1);
    }
    bool isRunning() const { return animation_->state() == QAbstractAnimation::Running; }

private:
    QGraphicsOpacityEffect* effect_;
    QPropertyAnimation* animation_;
};

class Indicator : public QWidget {
public:
    explicit Indicator(QWidget* parent) : QWidget(parent), pulse_(*this, 900) {}

    void setTint(const QColor& tint) {
        tint_ = tint;
        update();
    }
    OpacityPulse& pulse() { return pulse_; }
    const OpacityPulse& pulse() const { return pulse_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(tint_);
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
    }

private:
    QColor tint_ = Theme::ember();
    OpacityPulse pulse_;
};

// Eight fading spokes turning once a second.
class Spinner : public QWidget {
public:
    explicit Spinner(QWidget* parent) : QWidget(parent) {
        turn_.setStartValue(0);
        turn_.setEndValue(8);
        turn_.setDuration(1000);
        turn_.setLoopCount(-1);
        QObject::connect(&turn_, &QVariantAnimation::valueChanged, this, [this] { update(); });
    }

    void setSpinning(bool spinning) {
        setHidden(!spinning);
        if (spinning && turn_.state() != QAbstractAnimation::Running) turn_.start();
        if (!spinning) turn_.stop();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(width() / 2.0, height() / 2.0);
        const int lead = turn_.currentValue().toInt();
        for (int spoke = 0; spoke < 8; ++spoke) {
            QColor colour = Theme::paper();
            colour.setAlphaF(0.25f + 0.75f * static_cast<float>((spoke - lead + 8) % 8) / 7.0f);
            painter.setPen(QPen(colour, 1.5, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(QPointF(0, -2.5), QPointF(0, -5.5));
            painter.rotate(45);
        }
    }

private:
    QVariantAnimation turn_;
};

enum class Symbol { pause, play, restart, cancel };

// A round button of the panel with a drawn symbol, fill `ink` at 0.6 and a
// one-pixel ring.
class ControlButton : public QAbstractButton {
public:
    ControlButton(QWidget* parent, Symbol symbol, const QString& tooltip) : QAbstractButton(parent) {
        setFixedSize(TranscriptViewController::controlButtonSize, TranscriptViewController::controlButtonSize);
        setFocusPolicy(Qt::NoFocus);
        setLook(symbol, tooltip, tooltip, Theme::colour(ThemeColour::paper, 0.85), Theme::rule());
    }

    void setLook(Symbol symbol, const QString& description, const QString& tooltip, const QColor& tint,
                 const QColor& border) {
        symbol_ = symbol;
        tint_ = tint;
        border_ = border;
        setAccessibleName(description);
        setToolTip(tooltip);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(border_, 1));
        painter.setBrush(Theme::colour(ThemeColour::ink, 0.6));
        painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        painter.translate(width() / 2.0, height() / 2.0);
        drawSymbol(painter);
    }

private:
    void drawSymbol(QPainter& painter) const {
        QPen pen(tint_, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        switch (symbol_) {
            case Symbol::pause:
                painter.setPen(Qt::NoPen);
                painter.setBrush(tint_);
                painter.drawRoundedRect(QRectF(-4.5, -5.5, 3.5, 11), 1, 1);
                painter.drawRoundedRect(QRectF(1, -5.5, 3.5, 11), 1, 1);
                return;
            case Symbol::play: {
                painter.setPen(Qt::NoPen);
                painter.setBrush(tint_);
                QPainterPath triangle;
                triangle.moveTo(-3.5, -6);
                triangle.lineTo(6, 0);
                triangle.lineTo(-3.5, 6);
                triangle.closeSubpath();
                painter.drawPath(triangle);
                return;
            }
            case Symbol::restart: {
                painter.setPen(pen);
                painter.setBrush(Qt::NoBrush);
                // Drawn turning clockwise, then mirrored to turn the other way.
                painter.scale(-1, 1);
                const QRectF circle(-5, -5, 10, 10);
                painter.drawArc(circle, 100 * 16, 290 * 16);
                // The arrowhead at the arc's open end, pointing the way it turns.
                const double angle = 100 * M_PI / 180;
                const QPointF tip(5 * std::cos(angle), -5 * std::sin(angle));
                painter.drawLine(tip, tip + QPointF(-3.5, -1.5));
                painter.drawLine(tip, tip + QPointF(-1, 3.5));
                return;
            }
            case Symbol::cancel:
                painter.setPen(pen);
                painter.drawLine(QPointF(-4.5, -4.5), QPointF(4.5, 4.5));
                painter.drawLine(QPointF(-4.5, 4.5), QPointF(4.5, -4.5));
                return;
        }
    }

    Symbol symbol_ = Symbol::pause;
    QColor tint_;
    QColor border_;
};

// The receiving application's kind and name in a dark pill with an accent dot.
class TargetBadge : public QWidget {
public:
    explicit TargetBadge(QWidget* parent) : QWidget(parent), label_(new QLabel(this)) { hide(); }

    void setText(const QString& text) {
        const auto styled = Theme::monoLabel(text, Theme::colour(ThemeColour::paper, 0.8), 9);
        styled.applyTo(*label_);
        full_ = styled.text;
    }
    // Its width follows the label, up to `maxWidth`, where the label is cut at its tail.
    void fit(int maxWidth) {
        label_->setText(full_);
        const int fullLabel = label_->sizeHint().width();
        const int width = std::min(maxWidth, 8 + 6 + 6 + fullLabel + 10);
        const int labelWidth = std::max(0, width - 30);
        label_->setText(label_->fontMetrics().elidedText(full_, Qt::ElideRight, labelWidth));
        resize(width, 22);
        label_->setGeometry(20, (22 - label_->sizeHint().height()) / 2, labelWidth, label_->sizeHint().height());
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Theme::rule(), 1));
        painter.setBrush(Theme::colour(ThemeColour::ink, 0.7));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::ember());
        painter.drawEllipse(QRectF(8, 8, 6, 6));
    }

private:
    QLabel* label_;
    QString full_;
};

// The arrow, name and hot key shown under a control button during the tutorial.
class Callout : public QWidget {
public:
    Callout(QWidget* parent, const QString& name, const QString& hotkey) : QWidget(parent), pulse_(*this, 850) {
        auto* stack = new QVBoxLayout(this);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(2);
        auto* arrow = new QLabel(QStringLiteral("↑"), this);
        arrow->setFont(Theme::monoFont(12, QFont::Bold));
        Theme::setTextColour(*arrow, Theme::ember());
        auto* nameLabel = new QLabel(this);
        Theme::monoLabel(name, Theme::colour(ThemeColour::paper, 0.95), 9).applyTo(*nameLabel);
        auto* hotkeyLabel = new QLabel(this);
        Theme::monoLabel(hotkey, Theme::muted(), 8).applyTo(*hotkeyLabel);
        for (QLabel* label : {arrow, nameLabel, hotkeyLabel}) stack->addWidget(label, 0, Qt::AlignHCenter);
        adjustSize();
        hide();
    }

    OpacityPulse& pulse() { return pulse_; }
    const OpacityPulse& pulse() const { return pulse_; }

private:
    OpacityPulse pulse_;
};

}  // namespace transcript_view

using namespace transcript_view;

TranscriptViewController::TranscriptViewController(QWidget* parent)
    : QWidget(parent),
      indicator_(new Indicator(this)),
      spinner_(new Spinner(this)),
      statusLabel_(new ElidedLabel(this)),
      controlsStack_(new QWidget(this)),
      pauseButton_(new ControlButton(controlsStack_, Symbol::pause, QStringLiteral("Pause · Space"))),
      restartButton_(new ControlButton(controlsStack_, Symbol::restart, QStringLiteral("Start over · R"))),
      cancelButton_(new ControlButton(controlsStack_, Symbol::cancel, QStringLiteral("Cancel · ESC"))),
      waveform_(new WaveformView(this)),
      transcriptView_(new QTextEdit(this)),
      targetBadge_(new TargetBadge(this)),
      pauseCallout_(new Callout(this, QStringLiteral("Pause"), QStringLiteral("Space"))),
      restartCallout_(new Callout(this, QStringLiteral("Restart"), QStringLiteral("R"))),
      cancelCallout_(new Callout(this, QStringLiteral("Cancel"), QStringLiteral("ESC"))) {
    // Errors from the hub or a provider are shown as they came, never as markup.
    statusLabel_->setTextFormat(Qt::PlainText);
    indicator_->hide();
    spinner_->setSpinning(false);
    controlsStack_->hide();
    waveform_->hide();

    auto call = [](const std::function<void()>& action) {
        if (action) action();
    };
    connect(pauseButton_, &QAbstractButton::clicked, this, [this, call] { call(onTogglePause); });
    connect(restartButton_, &QAbstractButton::clicked, this, [this, call] { call(onRestart); });
    connect(cancelButton_, &QAbstractButton::clicked, this, [this, call] { call(onCancel); });

    transcriptView_->setReadOnly(true);
    transcriptView_->setTextInteractionFlags(Qt::NoTextInteraction);
    transcriptView_->setFocusPolicy(Qt::NoFocus);
    transcriptView_->setFrameShape(QFrame::NoFrame);
    transcriptView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    transcriptView_->viewport()->setAutoFillBackground(false);
    transcriptView_->setAttribute(Qt::WA_TranslucentBackground);
    transcriptView_->viewport()->setAttribute(Qt::WA_TranslucentBackground);
    transcriptView_->setStyleSheet(QStringLiteral("QTextEdit { background: transparent; }"));
    transcriptView_->document()->setDocumentMargin(0);
    transcriptView_->setFont(Theme::sansFont(17));

    // Later siblings draw above earlier ones.
    for (QWidget* widget : std::initializer_list<QWidget*>{indicator_, spinner_, statusLabel_, controlsStack_,
                                                           waveform_, transcriptView_, targetBadge_, pauseCallout_,
                                                           restartCallout_, cancelCallout_}) {
        widget->raise();
    }
    setTutorialCallout(std::nullopt);
}

void TranscriptViewController::render(const TranscriptDisplay& display) {
    const TranscriptRendering shown = TranscriptRendering::of(display);

    const Theme::MonoLabel status =
        Theme::monoLabel(QString::fromStdString(shown.statusText), Theme::colour(shown.statusColour), 10);
    status.applyTo(*statusLabel_);
    statusLabel_->setFullText(status.text);

    indicator_->setHidden(shown.indicator == TranscriptRendering::Indicator::hidden);
    indicator_->setTint(Theme::colour(shown.indicatorTint));
    if (shown.indicator == TranscriptRendering::Indicator::pulsing) {
        indicator_->pulse().start();
    } else {
        indicator_->pulse().stop();
    }

    spinner_->setSpinning(shown.spinner);

    if (shown.waveformLive) {
        waveform_->show();
        if (audioLevelsProvider) waveform_->startAnimating(audioLevelsProvider);
    } else {
        waveform_->hide();
        waveform_->reset();
    }

    setControls(shown.controlsVisible, shown.controlsPaused);
    setTutorialCallout(shown.callout);

    targetBadge_->setHidden(!shown.badge);
    if (shown.badge) targetBadge_->setText(QString::fromStdString(*shown.badge));

    QPalette palette = transcriptView_->palette();
    palette.setColor(QPalette::Text, Theme::colour(shown.transcriptColour));
    transcriptView_->setPalette(palette);
    transcriptView_->setPlainText(QString::fromStdString(shown.transcript));
    insetText();
    layOut();
    scrollTranscript(shown.scroll);
}

bool TranscriptViewController::isIndicatorPulsing() const { return indicator_->pulse().isRunning(); }

bool TranscriptViewController::isCalloutPulsing(TutorialStep step) const {
    const Callout* callout = step == TutorialStep::pause     ? pauseCallout_
                             : step == TutorialStep::restart ? restartCallout_
                                                             : cancelCallout_;
    return callout->isVisibleTo(this) && callout->pulse().isRunning();
}

QString TranscriptViewController::transcriptText() const { return transcriptView_->toPlainText(); }

void TranscriptViewController::setControls(bool visible, bool paused) {
    controlsStack_->setHidden(!visible);
    if (paused) {
        pauseButton_->setLook(Symbol::play, QStringLiteral("Resume"), QStringLiteral("Resume · Space"),
                              Theme::mint(), Theme::colour(ThemeColour::mint, 0.5));
    } else {
        pauseButton_->setLook(Symbol::pause, QStringLiteral("Pause"), QStringLiteral("Pause · Space"),
                              Theme::colour(ThemeColour::paper, 0.85), Theme::rule());
    }
}

void TranscriptViewController::setTutorialCallout(std::optional<TutorialStep> step) {
    const std::pair<TutorialStep, Callout*> callouts[] = {
        {TutorialStep::pause, pauseCallout_}, {TutorialStep::restart, restartCallout_},
        {TutorialStep::cancel, cancelCallout_}};
    for (const auto& [calloutStep, callout] : callouts) {
        callout->pulse().stop();
        if (step == calloutStep) {
            callout->show();
            callout->pulse().start();
        } else {
            callout->hide();
        }
    }
}

// The text sits 4 pixels in from the top and bottom and flush at the sides.
void TranscriptViewController::insetText() {
    QTextFrameFormat format = transcriptView_->document()->rootFrame()->frameFormat();
    format.setMargin(0);
    format.setTopMargin(4);
    format.setBottomMargin(4);
    transcriptView_->document()->rootFrame()->setFrameFormat(format);
}

void TranscriptViewController::scrollTranscript(TranscriptRendering::Scroll scroll) {
    transcriptView_->moveCursor(scroll == TranscriptRendering::Scroll::end ? QTextCursor::End : QTextCursor::Start);
    transcriptView_->ensureCursorVisible();
}

void TranscriptViewController::resizeEvent(QResizeEvent*) { layOut(); }

// Fixed offsets from the edges; hidden pieces keep their place, so the
// transcript never moves up when the level meter hides.
void TranscriptViewController::layOut() {
    const int w = width();
    const int h = height();
    indicator_->setGeometry(18, 14, 10, 10);
    const QPoint indicatorCentre(23, 19);
    spinner_->setGeometry(indicatorCentre.x() - 6, indicatorCentre.y() - 6, 12, 12);

    const int buttons = 3 * controlButtonSize + 2 * 6;
    controlsStack_->setGeometry(w - 14 - buttons, indicatorCentre.y() - controlButtonSize / 2, buttons,
                                controlButtonSize);
    pauseButton_->move(0, 0);
    restartButton_->move(controlButtonSize + 6, 0);
    cancelButton_->move(2 * (controlButtonSize + 6), 0);

    // The status line runs up to the buttons, or to the margin while they are
    // hidden, and is cut with an ellipsis only where it does not fit there.
    const int statusRight = controlsStack_->isHidden() ? w - 18 : controlsStack_->x() - 12;
    const int statusWidth = std::min(statusLabel_->sizeHint().width(), std::max(0, statusRight - 36));
    const int statusHeight = statusLabel_->sizeHint().height();
    statusLabel_->setGeometry(36, indicatorCentre.y() - statusHeight / 2, statusWidth, statusHeight);

    waveform_->setGeometry(18, 24 + 10, w - 36, 28);
    transcriptView_->setGeometry(18, 24 + 10 + 28 + 10, w - 36, std::max(0, h - 42 - 72));

    targetBadge_->fit(w - 28);
    targetBadge_->move(w - 14 - targetBadge_->width(), h - 12 - 22);

    const int calloutTop = controlsStack_->geometry().bottom() + 1 + 4;
    for (const auto& [callout, button] : {std::pair<Callout*, QWidget*>{pauseCallout_, pauseButton_},
                                          {restartCallout_, restartButton_},
                                          {cancelCallout_, cancelButton_}}) {
        const int centreX = controlsStack_->x() + button->geometry().center().x();
        callout->move(centreX - callout->width() / 2, calloutTop);
    }
}

}  // namespace dictaro
