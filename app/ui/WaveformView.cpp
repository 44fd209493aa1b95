#include "app/ui/WaveformView.h"

#include <chrono>

#include <QPainter>

#include "app/ui/Theme.h"

namespace dictaro {

WaveformView::WaveformView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TranslucentBackground);
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(std::chrono::milliseconds(1000 / 60));
    connect(&timer_, &QTimer::timeout, this, &WaveformView::tick);
}

void WaveformView::startAnimating(LevelsProvider provider) {
    provider_ = std::move(provider);
    if (!timer_.isActive()) timer_.start();
}

void WaveformView::reset() {
    timer_.stop();
    provider_ = nullptr;
    levels_.reset();
    update();
}

void WaveformView::tick() {
    levels_.tick(provider_ ? provider_() : std::vector<float>{});
    update();
}

void WaveformView::paintEvent(QPaintEvent*) {
    const auto bars = WaveformLevels::bars(levels_.levels(), width(), height());
    if (bars.empty()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Theme::ember());
    for (const PanelRect& bar : bars) {
        painter.drawRoundedRect(QRectF(bar.x, bar.y, bar.width, bar.height), WaveformLevels::cornerRadius,
                                WaveformLevels::cornerRadius);
    }
}

}  // namespace dictaro
