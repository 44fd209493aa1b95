#pragma once

#include <QLabel>

namespace dictaro {

// A one-line label that shows as much of its text as its width allows, cut
// at the tail with an ellipsis. It wants the width of the whole text but
// makes do with none, so a long text (a provider's error, say) never widens
// the layout it sits in. text() is what is shown; fullText() the whole.
class ElidedLabel final : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void elide();

    QString full_;
};

}  // namespace dictaro
