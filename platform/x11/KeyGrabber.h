#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace platform::x11 {

// Keys by their position on the keyboard, as the US layout labels them
// (evdev scan code + 8), so a grab does not move with the layout.
enum class KeyPosition : unsigned {
    escape = 9,
    r = 27,
    returnKey = 36,
    v = 55,
    m = 58,
    space = 65,
};

// Modifier bits a grab asks for; Caps Lock and Num Lock never count.
enum Modifier : unsigned {
    shift = 1u << 0,
    control = 1u << 1,
    alt = 1u << 2,
    super = 1u << 3,
};

// Key presses taken from the whole screen: a grabbed key goes to us alone,
// never to the focused window. Autorepeat is made detectable, so a held key
// shows as one press followed by repeats.
class KeyGrabber {
public:
    struct Press {
        int grabId;
        bool isRepeat;
    };

    // `onPress` runs on the connection's reader thread.
    explicit KeyGrabber(std::function<void(Press)> onPress);

    // Grabs `key` held with exactly `modifiers` under `grabId`. Returns 0, or
    // the X error code when the server refused, typically because another
    // client grabbed the same combination.
    int grab(int grabId, KeyPosition key, unsigned modifiers);
    // Grabs `key` with every combination of modifiers that no other client
    // holds; fails only when the key alone cannot be had.
    int grabWithAnyModifiers(int grabId, KeyPosition key);

    void ungrab(int grabId);

private:
    struct Grab {
        unsigned keycode;
        bool anyModifiers;
        unsigned state;
        std::vector<unsigned> grabbedStates;
    };

    unsigned toState(unsigned modifiers) const;
    std::vector<unsigned> withLocks(unsigned state) const;
    // Grabs every state or, when the server refuses one, none.
    int grabStates(unsigned keycode, const std::vector<unsigned>& states);
    void handle(const XEvent& event);

    std::function<void(Press)> onPress_;
    unsigned altMask_ = 0;
    unsigned superMask_ = 0;
    unsigned numLockMask_ = 0;
    std::mutex mutex_;
    std::map<int, Grab> grabs_;
    std::set<unsigned> keysDown_;
    // Last, so that its reader stops before the state it reads goes away.
    X11Connection connection_;
};

}  // namespace platform::x11
