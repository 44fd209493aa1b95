#pragma once

#include <QColor>
#include <QLabel>
#include <QFont>
#include <QString>
#include <QWidget>

#include "app/ui/ThemePalette.h"

class QLabel;

namespace dictaro {

// The palette as the toolkit's colours, and the upper-cased monospaced label
// of status lines, badges and hot-key hints.
class Theme {
public:
    Theme() = delete;

    static QColor colour(ThemeColour colour, double alpha = 1);
    static QColor colour(Tint tint) { return colour(tint.colour, tint.alpha); }
    static QColor ink() { return colour(ThemeColour::ink); }
    static QColor elev() { return colour(ThemeColour::elev); }
    static QColor rule() { return colour(ThemeColour::rule); }
    static QColor paper() { return colour(ThemeColour::paper); }
    static QColor muted() { return colour(ThemeColour::muted); }
    static QColor ember() { return colour(ThemeColour::ember); }
    static QColor mint() { return colour(ThemeColour::mint); }

    struct MonoLabel {
        QString text;
        QFont font;
        QColor colour;
        void applyTo(QLabel& label) const;
    };

    // The text upper-cased (locale-independent), in the medium monospaced
    // font of that pixel size, spaced by 0.18 of the size.
    static MonoLabel monoLabel(const QString& text, const QColor& colour, int size);
    static QFont monoFont(int size, QFont::Weight weight);
    static QFont sansFont(int size);
    static QFont sansFont(int size, QFont::Weight weight);
    // Colours the widget's text, leaving the rest of its palette as it is.
    static void setTextColour(QWidget& widget, const QColor& colour);
    // The setup window's section look: elevated surface at 0.6, a rule-coloured
    // border, corner radius 10. Keyed to the widget's object name, so it does
    // not reach its children.
    static void styleSection(QWidget& section);
    // A plain-text label in the sans face.
    static QLabel* label(const QString& text, int size, const QColor& colour, QFont::Weight weight = QFont::Normal);
};

}  // namespace dictaro
