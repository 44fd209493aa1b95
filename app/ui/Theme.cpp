#include "app/ui/Theme.h"

#include <QLabel>
#include <QPalette>

namespace dictaro {

QColor Theme::colour(ThemeColour colour, double alpha) {
    const Rgb value = rgb(colour);
    QColor result = QColor::fromRgb(value.red, value.green, value.blue);
    result.setAlphaF(static_cast<float>(alpha));
    return result;
}

QFont Theme::monoFont(int size, QFont::Weight weight) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans Mono"), QStringLiteral("monospace")});
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(size);
    font.setWeight(weight);
    return font;
}

QFont Theme::sansFont(int size) {
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("sans-serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(size);
    return font;
}

QFont Theme::sansFont(int size, QFont::Weight weight) {
    QFont font = sansFont(size);
    font.setWeight(weight);
    return font;
}

void Theme::setTextColour(QWidget& widget, const QColor& colour) {
    QPalette palette = widget.palette();
    palette.setColor(QPalette::WindowText, colour);
    widget.setPalette(palette);
}

Theme::MonoLabel Theme::monoLabel(const QString& text, const QColor& colour, int size) {
    QFont font = monoFont(size, QFont::Medium);
    font.setLetterSpacing(QFont::AbsoluteSpacing, size * 0.18);
    return {text.toUpper(), font, colour};
}

void Theme::MonoLabel::applyTo(QLabel& label) const {
    // Names and field hints come from other programs: never read them as markup.
    label.setTextFormat(Qt::PlainText);
    label.setText(text);
    label.setFont(font);
    setTextColour(label, colour);
}

void Theme::styleSection(QWidget& section) {
    section.setAttribute(Qt::WA_StyledBackground);
    const QColor surface = colour(ThemeColour::elev, 0.6);
    section.setStyleSheet(QStringLiteral("#%1 { background-color: rgba(%2, %3, %4, %5); border: 1px solid %6;"
                                         " border-radius: 10px; }")
                              .arg(section.objectName())
                              .arg(surface.red())
                              .arg(surface.green())
                              .arg(surface.blue())
                              .arg(surface.alphaF())
                              .arg(rule().name()));
}

QLabel* Theme::label(const QString& text, int size, const QColor& colour, QFont::Weight weight) {
    auto* result = new QLabel(text);
    result->setTextFormat(Qt::PlainText);
    result->setFont(sansFont(size, weight));
    setTextColour(*result, colour);
    return result;
}

}  // namespace dictaro
