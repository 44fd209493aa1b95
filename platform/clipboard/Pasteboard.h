#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/x11/X11Connection.h"

namespace platform::clipboard {

// What the clipboard held: every format its owner offered, in the owner's
// order, with the bytes of each.
struct PasteboardSnapshot {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> formats;
    // The owner marked the contents as a password; such data is never
    // published again.
    bool secret = false;
};

// The desktop's CLIPBOARD selection, through the toolkit. It needs the
// toolkit's application object, whose thread must keep running its event
// loop: that is where other programs' requests for our data are answered.
// Calls from other threads are carried out on that thread; the waits below
// block only the calling thread. Before that loop ends for good the
// pasteboard is closed: from then on every call returns at once and does
// nothing, whatever thread it comes from.
class Pasteboard {
public:
    Pasteboard();
    ~Pasteboard();
    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

    PasteboardSnapshot snapshot();
    std::optional<std::string> string();

    // Takes the clipboard with `text` alone, for every program.
    void setString(const std::string& text);

    // Takes the clipboard with `text` alone for the program behind `window`:
    // until the next publication every other program's request is refused,
    // so that a clipboard manager, which reads each new clipboard at once,
    // neither passes for that program taking the text nor takes the
    // clipboard over with it.
    void setStringFor(const std::string& text, x11::WindowId window);

    // From now on notes when that program fetches the text; a fetch before
    // this call is not the one asked for.
    void watchForFetch();

    // Whether that program fetched the text since watchForFetch(), waiting up
    // to `timeout` for it.
    bool waitUntilFetched(std::chrono::milliseconds timeout);

    // Waits for `duration` while requests for our data keep being answered,
    // also when called on the toolkit's own thread.
    void keepServing(std::chrono::milliseconds duration);

    // Publishes the snapshot's formats again; an empty or secret snapshot
    // leaves the clipboard empty.
    void restore(const PasteboardSnapshot& snapshot);

    // For a quit, on the toolkit's thread: the clipboard we hold outlives
    // this process. The toolkit hands it to a clipboard manager at exit where
    // one runs; where none does, `startKeeper` is given the contents to serve
    // from a process of its own, and this waits up to `timeout` until that
    // process has taken the clipboard.
    void outliveExit(const std::function<bool(const PasteboardSnapshot&)>& startKeeper,
                     std::chrono::milliseconds timeout);

    // On the toolkit's thread, while its loop still runs; also done by the
    // destructor. A call waiting for the toolkit's thread then gives up.
    void close();

private:
    // Whether the pasteboard is closed, whom the newest publication is for
    // and whether they fetched it; shared with the requests filter and the
    // calls queued for the toolkit's thread.
    struct State;
    class RequestFilter;

    template <class F>
    bool runOnToolkitThread(F&& body);
    bool isClosed() const;
    bool isFetched() const;
    // For `forWindow`'s program alone; 0 for every program.
    void publish(const std::string& text, x11::WindowId forWindow);

    std::shared_ptr<State> state_;
    RequestFilter* filter_ = nullptr;
};

}  // namespace platform::clipboard
