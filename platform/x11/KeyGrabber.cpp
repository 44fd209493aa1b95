#include "platform/x11/KeyGrabber.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>

#include <algorithm>
#include <optional>

namespace platform::x11 {
namespace {

// The modifier bit (Mod1..Mod5) that the server maps any of `keysyms` to.
unsigned modifierMaskFor(Display* display, std::initializer_list<KeySym> keysyms) {
    XModifierKeymap* map = XGetModifierMapping(display);
    if (!map) return 0;
    unsigned mask = 0;
    for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
        for (int k = 0; k < map->max_keypermod; ++k) {
            const KeyCode code = map->modifiermap[modifier * map->max_keypermod + k];
            if (code == 0) continue;
            const KeySym sym = XkbKeycodeToKeysym(display, code, 0, 0);
            for (KeySym wanted : keysyms) {
                if (sym == wanted) mask = 1u << modifier;
            }
        }
    }
    XFreeModifiermap(map);
    return mask;
}

}  // namespace

KeyGrabber::KeyGrabber(std::function<void(Press)> onPress) : onPress_(std::move(onPress)) {
    Display* display = connection_.display();
    Bool supported = False;
    XkbSetDetectableAutoRepeat(display, True, &supported);
    altMask_ = modifierMaskFor(display, {XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R});
    superMask_ = modifierMaskFor(display, {XK_Super_L, XK_Super_R});
    numLockMask_ = modifierMaskFor(display, {XK_Num_Lock});
    connection_.startReading([this](const XEvent& event) { handle(event); });
}

unsigned KeyGrabber::toState(unsigned modifiers) const {
    unsigned state = 0;
    if (modifiers & shift) state |= ShiftMask;
    if (modifiers & control) state |= ControlMask;
    if (modifiers & alt) state |= altMask_;
    if (modifiers & super) state |= superMask_;
    return state;
}

std::vector<unsigned> KeyGrabber::withLocks(unsigned state) const {
    // The same combination with Caps Lock or Num Lock on must still reach us.
    std::vector<unsigned> states;
    for (unsigned locks : {0u, unsigned(LockMask), numLockMask_, unsigned(LockMask) | numLockMask_}) {
        if (std::find(states.begin(), states.end(), state | locks) == states.end()) states.push_back(state | locks);
    }
    return states;
}

int KeyGrabber::grabStates(unsigned keycode, const std::vector<unsigned>& states) {
    Display* display = connection_.display();
    for (unsigned state : states) {
        XGrabKey(display, static_cast<int>(keycode), state, connection_.root(), False, GrabModeAsync, GrabModeAsync);
    }
    const int error = connection_.syncAndTakeError();
    if (error != 0) {
        for (unsigned state : states) XUngrabKey(display, static_cast<int>(keycode), state, connection_.root());
        connection_.syncAndTakeError();
    }
    return error;
}

int KeyGrabber::grab(int grabId, KeyPosition key, unsigned modifiers) {
    ungrab(grabId);
    Grab entry{static_cast<unsigned>(key), false, toState(modifiers), {}};
    entry.grabbedStates = withLocks(entry.state);
    if (const int error = grabStates(entry.keycode, entry.grabbedStates); error != 0) return error;
    std::lock_guard lock(mutex_);
    grabs_[grabId] = std::move(entry);
    return 0;
}

int KeyGrabber::grabWithAnyModifiers(int grabId, KeyPosition key) {
    ungrab(grabId);
    Grab entry{static_cast<unsigned>(key), true, 0, {}};
    // One grab per combination rather than AnyModifier, which the server
    // refuses whole as soon as the window manager holds a single one of them
    // (openbox keeps Alt+Escape): those few stay the window manager's.
    for (unsigned modifiers = 0; modifiers <= (shift | control | alt | super); ++modifiers) {
        const std::vector<unsigned> states = withLocks(toState(modifiers));
        const int error = grabStates(entry.keycode, states);
        if (error != 0 && modifiers == 0) {
            for (unsigned state : entry.grabbedStates) {
                XUngrabKey(connection_.display(), static_cast<int>(entry.keycode), state, connection_.root());
            }
            connection_.syncAndTakeError();
            return error;
        }
        if (error == 0) entry.grabbedStates.insert(entry.grabbedStates.end(), states.begin(), states.end());
    }
    std::lock_guard lock(mutex_);
    grabs_[grabId] = std::move(entry);
    return 0;
}

void KeyGrabber::ungrab(int grabId) {
    std::optional<Grab> removed;
    {
        std::lock_guard lock(mutex_);
        auto found = grabs_.find(grabId);
        if (found == grabs_.end()) return;
        removed = std::move(found->second);
        grabs_.erase(found);
        // Its release may now go to another window; the next press of the
        // key must not look like a repeat.
        keysDown_.erase(removed->keycode);
    }
    for (unsigned state : removed->grabbedStates) {
        XUngrabKey(connection_.display(), static_cast<int>(removed->keycode), state, connection_.root());
    }
    connection_.syncAndTakeError();
}

void KeyGrabber::handle(const XEvent& event) {
    if (event.type != KeyPress && event.type != KeyRelease) return;
    const unsigned keycode = event.xkey.keycode;
    const unsigned state = event.xkey.state & ~(unsigned(LockMask) | numLockMask_);
    std::optional<Press> press;
    {
        std::lock_guard lock(mutex_);
        if (event.type == KeyRelease) {
            keysDown_.erase(keycode);
            return;
        }
        // With detectable autorepeat a held key sends presses without the
        // releases in between.
        const bool isRepeat = !keysDown_.insert(keycode).second;
        for (const auto& [id, grab] : grabs_) {
            if (grab.keycode == keycode && (grab.anyModifiers || grab.state == state)) press = Press{id, isRepeat};
        }
    }
    if (press) onPress_(*press);
}

}  // namespace platform::x11
