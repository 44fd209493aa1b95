// A clipboard manager for the desktop tests that behaves as the desktop's
// own ones do: it reads every new clipboard the moment its owner takes it, in
// every format offered, and holds the CLIPBOARD_MANAGER selection, so that a
// program that quits can hand its clipboard over (SAVE_TARGETS).
//
//   --record FILE   created once the manager runs; each clipboard text it
//                   read is appended, one a line
//   --take-over     serves each copy it read itself, taking the clipboard
//                   from its owner, as many managers do
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace {

// One format of a clipboard as its owner gave it.
struct Format {
    Atom target = None;
    Atom type = None;
    int bits = 8;
    std::vector<unsigned char> data;  // as Xlib hands it back: longs for 32-bit items
    unsigned long items = 0;
};

class Manager {
public:
    Manager(bool takeOver, std::string record) : takeOver_(takeOver), record_(std::move(record)) {}

    int run() {
        display_ = XOpenDisplay(nullptr);
        if (!display_) return 1;
        int fixesEvent = 0;
        int fixesError = 0;
        if (!XFixesQueryExtension(display_, &fixesEvent, &fixesError)) return 1;
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
        clipboard_ = atom("CLIPBOARD");
        manager_ = atom("CLIPBOARD_MANAGER");
        saveTargets_ = atom("SAVE_TARGETS");
        targets_ = atom("TARGETS");
        incr_ = atom("INCR");
        utf8_ = atom("UTF8_STRING");
        transfer_ = atom("DICTARO_TEST_MANAGER_TRANSFER");
        skipped_ = {targets_, atom("MULTIPLE"), atom("TIMESTAMP"), saveTargets_, atom("DELETE")};
        XFixesSelectSelectionInput(display_, window_, clipboard_, XFixesSetSelectionOwnerNotifyMask);
        XSetSelectionOwner(display_, manager_, window_, CurrentTime);
        XSync(display_, False);
        if (XGetSelectionOwner(display_, manager_) != window_) return 1;
        std::ofstream(record_, std::ios::app).flush();

        for (;;) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == fixesEvent + XFixesSelectionNotify) {
                const auto& notify = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
                if (notify.owner == None || notify.owner == window_) continue;
                std::vector<Format> copy = readClipboard();
                if (takeOver_) serve(std::move(copy));
            } else if (event.type == SelectionRequest) {
                answer(event.xselectionrequest);
            } else if (event.type == SelectionClear && event.xselectionclear.selection == clipboard_) {
                served_.clear();
            }
        }
    }

private:
    Atom atom(const char* name) { return XInternAtom(display_, name, False); }

    // The owner's answer to one conversion, waiting up to two seconds.
    std::optional<Format> convert(Atom target) {
        XDeleteProperty(display_, window_, transfer_);
        XConvertSelection(display_, clipboard_, target, transfer_, window_, CurrentTime);
        XFlush(display_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        XEvent event;
        while (!XCheckTypedWindowEvent(display_, window_, SelectionNotify, &event)) {
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            pollfd connection{ConnectionNumber(display_), POLLIN, 0};
            poll(&connection, 1, 10);
        }
        if (event.xselection.property == None) return std::nullopt;
        Format format;
        format.target = target;
        int bits = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display_, window_, transfer_, 0, LONG_MAX / 4, True, AnyPropertyType, &format.type,
                               &bits, &format.items, &after, &data) != Success) {
            return std::nullopt;
        }
        format.bits = bits;
        const std::size_t unit = bits == 32 ? sizeof(long) : static_cast<std::size_t>(bits / 8);
        if (data) format.data.assign(data, data + format.items * unit);
        XFree(data);
        // Data too large for one property comes in pieces; the tests' is small.
        if (format.type == incr_ || format.type == None) return std::nullopt;
        return format;
    }

    std::vector<Format> readClipboard() {
        std::vector<Format> copy;
        const std::optional<Format> offered = convert(targets_);
        if (!offered || offered->bits != 32) return copy;
        const auto* atoms = reinterpret_cast<const long*>(offered->data.data());
        for (unsigned long index = 0; index < offered->items; ++index) {
            const Atom target = static_cast<Atom>(atoms[index]);
            if (std::find(skipped_.begin(), skipped_.end(), target) != skipped_.end()) continue;
            if (std::optional<Format> format = convert(target)) copy.push_back(std::move(*format));
        }
        for (const Format& format : copy) {
            if (format.target == utf8_) {
                std::ofstream(record_, std::ios::app)
                    << std::string(format.data.begin(), format.data.end()) << '\n';
            }
        }
        return copy;
    }

    void serve(std::vector<Format> copy) {
        if (copy.empty()) return;
        served_ = std::move(copy);
        XSetSelectionOwner(display_, clipboard_, window_, CurrentTime);
        XFlush(display_);
    }

    void answer(const XSelectionRequestEvent& request) {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = None;
        // Clients of old pass no property and mean the target's name.
        const Atom property = request.property == None ? request.target : request.property;
        if (request.selection == clipboard_ && !served_.empty()) {
            if (request.target == targets_) {
                std::vector<long> offered{static_cast<long>(targets_)};
                for (const Format& format : served_) offered.push_back(static_cast<long>(format.target));
                XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace,
                                reinterpret_cast<const unsigned char*>(offered.data()),
                                static_cast<int>(offered.size()));
                reply.property = property;
            }
            for (const Format& format : served_) {
                if (format.target != request.target) continue;
                XChangeProperty(display_, request.requestor, property, format.type, format.bits, PropModeReplace,
                                format.data.data(), static_cast<int>(format.items));
                reply.property = property;
            }
        } else if (request.selection == manager_ && request.target == saveTargets_) {
            // The quitting owner keeps answering for its clipboard until this
            // reply reaches it.
            serve(readClipboard());
            XChangeProperty(display_, request.requestor, property, XA_ATOM, 32, PropModeReplace, nullptr, 0);
            reply.property = property;
        }
        XSendEvent(display_, request.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
        XFlush(display_);
    }

    bool takeOver_;
    std::string record_;
    Display* display_ = nullptr;
    Window window_ = None;
    Atom clipboard_ = None, manager_ = None, saveTargets_ = None, targets_ = None, incr_ = None, utf8_ = None,
         transfer_ = None;
    std::vector<Atom> skipped_;
    std::vector<Format> served_;
};

}  // namespace

int main(int argc, char** argv) {
    bool takeOver = false;
    std::string record = "/dev/null";
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--take-over") == 0) takeOver = true;
        if (std::strcmp(argv[index], "--record") == 0 && index + 1 < argc) record = argv[++index];
    }
    return Manager(takeOver, record).run();
}
