#include "platform/x11/SyntheticKeys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace platform::x11 {
namespace {

bool isDown(const char keys[32], unsigned keycode) {
    return (static_cast<unsigned char>(keys[keycode / 8]) >> (keycode % 8)) & 1u;
}

}  // namespace

SyntheticKeys::SyntheticKeys() {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    hasXTest_ = XTestQueryExtension(connection_.display(), &eventBase, &errorBase, &major, &minor) == True;
}

bool SyntheticKeys::pasteChord(bool withShift) {
    if (!hasXTest_) return false;
    Display* display = connection_.display();
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const KeyCode shiftKey = XKeysymToKeycode(display, XK_Shift_L);
    KeyCode v = XKeysymToKeycode(display, XK_v);
    if (v == 0) v = static_cast<KeyCode>(55);  // the V position of a US keyboard
    if (control == 0 || (withShift && shiftKey == 0)) return false;

    // A modifier still held (the Super and Alt of the hot key, say) would
    // turn the chord into another shortcut.
    char keys[32];
    XQueryKeymap(display, keys);
    if (XModifierKeymap* map = XGetModifierMapping(display)) {
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            const KeyCode code = map->modifiermap[i];
            if (code != 0 && isDown(keys, code)) XTestFakeKeyEvent(display, code, False, CurrentTime);
        }
        XFreeModifiermap(map);
    }
    XTestFakeKeyEvent(display, control, True, CurrentTime);
    if (withShift) XTestFakeKeyEvent(display, shiftKey, True, CurrentTime);
    XTestFakeKeyEvent(display, v, True, CurrentTime);
    XTestFakeKeyEvent(display, v, False, CurrentTime);
    if (withShift) XTestFakeKeyEvent(display, shiftKey, False, CurrentTime);
    XTestFakeKeyEvent(display, control, False, CurrentTime);
    return connection_.syncAndTakeError() == 0;
}

}  // namespace platform::x11
