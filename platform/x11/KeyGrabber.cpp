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

int KeyGrabber::grab(int grabId, KeyPosition key, unsigned modifiers) {
    ungrab(grabId);
    Grab entry{static_cast<unsigned>(key), false, toState(modifiers), {}};
    // The same combination with Caps Lock or Num Lock on must still reach us.
    for (unsigned locks : {0u, unsigned(LockMask), numLockMask_, unsigned(LockMask) | numLockMask_}) {
        const unsigned state = entry.state | locks;
        if (std::find(entry.grabbedStates.begin(), entry.grabbedStates.end(), state) == entry.grabbedStates.end()) {
            entry.grabbedStates.push_back(state);
        }
    }
    Display* display = connection_.display();
    for (unsigned state : entry.grabbedStates) {
        XGrabKey(display, static_cast<int>(entry.keycode), state, connection_.root(), False, GrabModeAsync, GrabModeAsync);
    }
    if (const int error = connection_.syncAndTakeError(); error != 0) {
        for (unsigned state : entry.grabbedStates) XUngrabKey(display, static_cast<int>(entry.keycode), state, connection_.root());
        connection_.syncAndTakeError();
        return error;
    }
    std::lock_guard lock(mutex_);
    grabs_[grabId] = std::move(entry);
    return 0;
}

int KeyGrabber::grabWithAnyModifiers(int grabId, KeyPosition key) {
    ungrab(grabId);
    Display* display = connection_.display();
    XGrabKey(display, static_cast<int>(key), AnyModifier, connection_.root(), False, GrabModeAsync, GrabModeAsync);
    if (const int error = connection_.syncAndTakeError(); error != 0) return error;
    std::lock_guard lock(mutex_);
    grabs_[grabId] = Grab{static_cast<unsigned>(key), true, 0, {AnyModifier}};
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
