#include "platform/x11/X11Connection.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <utility>
#include <mutex>

namespace platform::x11 {
namespace {

// Xlib reports failed requests through one process-wide handler; ours notes
// the first error per connection so each caller can ask for its own.
std::mutex errorsMutex;
std::map<Display*, int>& pendingErrors() {
    static std::map<Display*, int> errors;
    return errors;
}

int noteError(Display* display, XErrorEvent* event) {
    std::lock_guard lock(errorsMutex);
    auto found = pendingErrors().find(display);
    if (found != pendingErrors().end() && found->second == 0) found->second = event->error_code;
    return 0;
}

void initialiseXlibOnce() {
    static std::once_flag once;
    std::call_once(once, [] { XInitThreads(); });
}

// The toolkit puts its own handler in place when it opens its display,
// which may come after ours; without ours a refused grab would pass for a
// granted one.
void installErrorHandler() {
    XSetErrorHandler(noteError);
}

}  // namespace

X11Connection::X11Connection() {
    initialiseXlibOnce();
    installErrorHandler();
    display_ = XOpenDisplay(nullptr);
    if (!display_) {
        const char* name = std::getenv("DISPLAY");
        throw X11Error(std::string("cannot open the X display \"") + (name ? name : "") + "\"");
    }
    {
        std::lock_guard lock(errorsMutex);
        pendingErrors()[display_] = 0;
    }
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        XCloseDisplay(display_);
        throw X11Error("cannot create the X reader's wake pipe");
    }
}

X11Connection::~X11Connection() {
    if (reader_.joinable()) {
        stopping_ = true;
        wakeReader();
        reader_.join();
    }
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
    {
        std::lock_guard lock(errorsMutex);
        pendingErrors().erase(display_);
    }
    XCloseDisplay(display_);
}

WindowId X11Connection::root() const {
    return DefaultRootWindow(display_);
}

void X11Connection::startReading(std::function<void(const XEvent&)> onEvent) {
    onEvent_ = std::move(onEvent);
    reader_ = std::thread([this] { readLoop(); });
}

int X11Connection::syncAndTakeError() {
    installErrorHandler();
    XSync(display_, False);
    // XSync may have pulled events off the socket into Xlib's queue, where
    // the reader's poll cannot see them.
    wakeReader();
    std::lock_guard lock(errorsMutex);
    return std::exchange(pendingErrors()[display_], 0);
}

void X11Connection::wakeReader() {
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe_[1], &wake, 1);
}

void X11Connection::readLoop() {
    pollfd watched[2] = {{ConnectionNumber(display_), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    for (;;) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            onEvent_(event);
        }
        if (::poll(watched, 2, -1) < 0 && errno != EINTR) return;
        if (watched[1].revents != 0) {
            char drained[64];
            [[maybe_unused]] const ssize_t read = ::read(wakePipe_[0], drained, sizeof drained);
            if (stopping_) return;
        }
        if (watched[0].revents & (POLLHUP | POLLERR)) return;
    }
}

}  // namespace platform::x11
