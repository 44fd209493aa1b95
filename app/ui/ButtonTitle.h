#pragma once

#include <QString>
#include <string>

namespace dictaro {

// A button's or menu entry's title as it is to be read: the toolkit takes a
// lone "&" for the marker of a keyboard shortcut and drops it, which would
// turn "Reset & Relaunch" into "Reset  Relaunch".
inline QString buttonTitle(const QString& title) { return QString(title).replace(u'&', QStringLiteral("&&")); }
inline QString buttonTitle(const std::string& title) { return buttonTitle(QString::fromStdString(title)); }

}  // namespace dictaro
