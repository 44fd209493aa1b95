#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace dictaro {

// One permission of the setup window: icon, title, explanation, a badge with
// its state and the button that acts on it.
class StatusRow final : public QWidget {
public:
    StatusRow(const QString& iconName, const QString& fallbackSymbol, const QString& title, const QString& subtitle,
              QWidget* parent = nullptr);

    // Hides the action button when `actionTitle` is empty (its title stays).
    void setBadge(const QString& text, const QColor& colour, const QString& actionTitle);

    QPushButton* actionButton() const { return actionButton_; }
    QLabel* badge() const { return badge_; }
    QLabel* subtitleLabel() const { return subtitleLabel_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPushButton* actionButton_;
    QLabel* icon_;
    QLabel* titleLabel_;
    QLabel* subtitleLabel_;
    QLabel* badge_;
};

}  // namespace dictaro
