#include "app/ui/ElidedLabel.h"

#include <QEvent>
#include <QFontMetrics>

namespace dictaro {

ElidedLabel::ElidedLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

void ElidedLabel::setFullText(const QString& text) {
    full_ = text;
    elide();
    updateGeometry();
}

QSize ElidedLabel::sizeHint() const {
    const QMargins margins = contentsMargins();
    return {fontMetrics().horizontalAdvance(full_) + margins.left() + margins.right() + 2 * margin(),
            QLabel::minimumSizeHint().height()};
}

QSize ElidedLabel::minimumSizeHint() const { return {0, QLabel::minimumSizeHint().height()}; }

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) elide();
}

void ElidedLabel::elide() {
    // Asked first with the measure sizeHint() gives: the eliding measure
    // counts a spaced font's text a few pixels wider, and so cut a text laid
    // out at exactly its width.
    const int room = contentsRect().width() - 2 * margin();
    const QString shown = fontMetrics().horizontalAdvance(full_) <= room
                              ? full_
                              : fontMetrics().elidedText(full_, Qt::ElideRight, room);
    if (shown != text()) setText(shown);
}

}  // namespace dictaro
