#include "app/ui/StatusRow.h"

#include <QGridLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

#include "app/ui/Theme.h"

namespace dictaro {
StatusRow::StatusRow(const QString& iconName, const QString& fallbackSymbol, const QString& title,
                     const QString& subtitle, QWidget* parent)
    : QWidget(parent),
      actionButton_(new QPushButton(this)),
      icon_(new QLabel(this)),
      titleLabel_(new QLabel(title, this)),
      subtitleLabel_(new QLabel(subtitle, this)),
      badge_(new QLabel(this)) {
    setMinimumHeight(72);

    const QIcon themed = QIcon::fromTheme(iconName);
    if (themed.isNull()) {
        icon_->setText(fallbackSymbol);
        icon_->setFont(Theme::sansFont(20, QFont::Medium));
        icon_->setAlignment(Qt::AlignCenter);
    } else {
        icon_->setPixmap(themed.pixmap(20, 20));
    }
    icon_->setAccessibleName(title);
    icon_->setFixedSize(28, 28);
    Theme::setTextColour(*icon_, Theme::paper());

    titleLabel_->setFont(Theme::sansFont(14, QFont::DemiBold));
    Theme::setTextColour(*titleLabel_, Theme::paper());

    subtitleLabel_->setFont(Theme::sansFont(12, QFont::Normal));
    Theme::setTextColour(*subtitleLabel_, Theme::muted());
    // The row grows with its text: an explanation put here may need more lines.
    subtitleLabel_->setWordWrap(true);

    badge_->setFont(Theme::sansFont(12, QFont::Medium));

    // Not the window's default button: Return belongs to "Get Started".
    actionButton_->setAutoDefault(false);
    QFont small = actionButton_->font();
    small.setPixelSize(11);
    actionButton_->setFont(small);
    actionButton_->setStyleSheet(
        QString("QPushButton { background: %1; color: %2; border: 1px solid %3; border-radius: 5px; padding: 3px 10px; }"
                "QPushButton:pressed { background: %3; }")
            .arg(Theme::elev().name(), Theme::paper().name(), Theme::rule().name()));

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(14, 12, 14, 12);
    grid->setHorizontalSpacing(12);
    grid->setVerticalSpacing(2);
    grid->addWidget(icon_, 0, 0, 2, 1, Qt::AlignTop);
    grid->addWidget(titleLabel_, 0, 1, Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(badge_, 0, 2, Qt::AlignTop | Qt::AlignRight);
    grid->addWidget(subtitleLabel_, 1, 1, Qt::AlignTop);
    grid->addWidget(actionButton_, 1, 2, Qt::AlignBottom | Qt::AlignRight);
    grid->setColumnStretch(1, 1);
}

void StatusRow::setBadge(const QString& text, const QColor& colour, const QString& actionTitle) {
    badge_->setText(text);
    Theme::setTextColour(*badge_, colour);
    if (!actionTitle.isEmpty()) actionButton_->setText(actionTitle);
    actionButton_->setVisible(!actionTitle.isEmpty());
}

void StatusRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
    painter.fillPath(shape, Theme::colour(ThemeColour::elev, 0.6));
    painter.setPen(QPen(Theme::rule(), 1));
    painter.drawPath(shape);
}

}  // namespace dictaro
