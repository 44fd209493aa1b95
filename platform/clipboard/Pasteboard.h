#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
// block only the calling thread.
class Pasteboard {
public:
    Pasteboard();
    ~Pasteboard();
    Pasteboard(const Pasteboard&) = delete;
    Pasteboard& operator=(const Pasteboard&) = delete;

    PasteboardSnapshot snapshot();
    std::optional<std::string> string();

    // Takes the clipboard with `text` alone, and from now on notes whether
    // another program fetched it.
    void setString(const std::string& text);

    // Whether a program fetched what setString published, waiting up to
    // `timeout` for the first fetch.
    bool waitUntilFetched(std::chrono::milliseconds timeout);

    // Waits for `duration` while requests for our data keep being answered,
    // also when called on the toolkit's own thread.
    void keepServing(std::chrono::milliseconds duration);

    // Publishes the snapshot's formats again; an empty or secret snapshot
    // leaves the clipboard empty.
    void restore(const PasteboardSnapshot& snapshot);

    // Whether the newest publication was fetched; shared with the data
    // object that the toolkit asks for the bytes.
    struct FetchState;

private:
    bool isFetched() const;

    std::shared_ptr<FetchState> fetched_;
};

}  // namespace platform::clipboard
