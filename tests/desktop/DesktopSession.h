#pragma once

#include <xcb/xcb.h>

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace desktoptest {

// Runs the main actor's jobs and the toolkit's events on the test's thread
// until `done` holds or `timeout` passes; returns whether it held.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// Keeps the main actor and the toolkit going for `duration`, for checking
// that something does not happen.
void keepServing(std::chrono::milliseconds duration);

// Runs `work` on another thread while this one answers clipboard requests.
template <class F>
auto whileServing(F work) {
    auto result = std::async(std::launch::async, std::move(work));
    waitUntil([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
              std::chrono::seconds(30));
    return result.get();
}

// xdotool with these arguments; fails the test when it does not succeed.
void xdotool(const std::vector<std::string>& arguments);

// The CLIPBOARD as another program reads it, in one format.
std::string clipboardAs(const std::string& mimeType);

// The test editor in a process of its own, with what it received readable.
class TargetWindow {
public:
    struct Options {
        std::string appId = "org.dictaro.TestTarget";
        std::string paste = "standard";
        std::optional<std::string> ownClipboard;
        bool secretClipboard = false;
        // Option name and value pairs passed as they are.
        std::vector<std::pair<std::string, std::string>> extra;
    };

    static Options withAppId(std::string appId) {
        Options options;
        options.appId = std::move(appId);
        return options;
    }

    explicit TargetWindow(Options options);
    ~TargetWindow();
    TargetWindow(const TargetWindow&) = delete;
    TargetWindow& operator=(const TargetWindow&) = delete;

    pid_t pid() const { return pid_; }
    std::string text() const;
    // Waits until the window is the active one and carries its id.
    bool waitUntilActive();
    bool waitForText(const std::string& expected);
    void kill();

private:
    std::string appId_;
    std::filesystem::path record_;
    pid_t pid_ = 0;
};

// The tests' clipboard manager in a process of its own: it reads every new
// clipboard at once and takes the clipboards of programs that quit.
class ClipboardManager {
public:
    enum class Kind {
        reads,      // keeps a copy and leaves the clipboard to its owner
        takesOver,  // serves its copy itself, taking the clipboard from its owner
    };

    explicit ClipboardManager(Kind kind);
    ~ClipboardManager();
    ClipboardManager(const ClipboardManager&) = delete;
    ClipboardManager& operator=(const ClipboardManager&) = delete;

    // Waits until it holds the clipboard manager's selection.
    bool waitUntilRunning();
    // Every clipboard text it read, one a line.
    std::string reads() const;

private:
    std::filesystem::path record_;
    pid_t pid_ = 0;
};

// Another program taking the CLIPBOARD on a connection of its own, stamped
// with the very time its owner says it took it where the X server lets that
// pass: the owner must still learn that it lost the clipboard. Held until
// destroyed.
class ClipboardTakeover {
public:
    ClipboardTakeover();
    ~ClipboardTakeover();
    ClipboardTakeover(const ClipboardTakeover&) = delete;
    ClipboardTakeover& operator=(const ClipboardTakeover&) = delete;

    // Whether the server made it the clipboard's owner.
    bool took() const { return took_; }

private:
    xcb_connection_t* connection_;
    bool took_ = false;
};

}  // namespace desktoptest
