#pragma once

class QWidget;

namespace dictaro {

// Puts our application id on a top-level window, where the desktop looks for
// it first, so that the focus tracker never takes our own windows for the
// application the user dictates into. Creates the native window if needed.
void markAsOurs(QWidget& window);

}  // namespace dictaro
