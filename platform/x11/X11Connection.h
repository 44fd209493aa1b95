#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

// Xlib's own types, without its macros leaking into every includer.
typedef struct _XDisplay Display;
typedef union _XEvent XEvent;

namespace platform::x11 {

using WindowId = unsigned long;

// The X server could not be reached (no DISPLAY, or a Wayland-only session).
class X11Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A connection of our own to the X server, apart from the toolkit's, with a
// thread that reads its events and hands each to `onEvent` (on that thread).
// Requests may be made from any thread while the reader runs.
class X11Connection {
public:
    // Opens $DISPLAY; throws X11Error when it cannot.
    X11Connection();
    ~X11Connection();
    X11Connection(const X11Connection&) = delete;
    X11Connection& operator=(const X11Connection&) = delete;

    Display* display() const { return display_; }
    WindowId root() const;

    // Starts the reader; called at most once.
    void startReading(std::function<void(const XEvent&)> onEvent);

    // Sends what is queued and waits until the server has handled it;
    // returns the X error code of the first request that failed since the
    // last call, 0 when none did.
    int syncAndTakeError();

    // Makes the reader look at Xlib's queue again, after a call on another
    // thread that may have read events along with a reply.
    void wakeReader();

private:
    void readLoop();

    Display* display_ = nullptr;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};
    std::function<void(const XEvent&)> onEvent_;
    std::thread reader_;
};

}  // namespace platform::x11
