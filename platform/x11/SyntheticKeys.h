#pragma once

#include "platform/x11/X11Connection.h"

namespace platform::x11 {

// Key strokes typed into whatever window has the keyboard focus, through the
// server's XTest extension, as if on the keyboard itself.
class SyntheticKeys {
public:
    // Throws X11Error when the display cannot be opened.
    SyntheticKeys();

    // Releases every modifier the user still holds, then types Ctrl+V, or
    // Ctrl+Shift+V with `withShift`. False when the server has no XTest or
    // the keys cannot be found, in which case nothing was typed.
    bool pasteChord(bool withShift);

private:
    X11Connection connection_;
    bool hasXTest_ = false;
};

}  // namespace platform::x11
