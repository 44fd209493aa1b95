#include "tests/desktop/DesktopSession.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/concurrency/MainActor.h"
#include "platform/process/ChildProcess.h"
#include "platform/x11/Workspace.h"

namespace desktoptest {
namespace {

// A file of its own for a helper process to write what it received.
std::filesystem::path recordFile(const std::string& prefix) {
    std::random_device random;
    return std::filesystem::temp_directory_path() / (prefix + std::to_string(random()) + ".txt");
}

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Ends a helper process and waits until it is gone, so its windows and
// clipboard go with it.
void end(pid_t& pid) {
    if (pid > 0) ::kill(pid, SIGKILL);
    waitUntil([&pid] { return pid <= 0 || ::kill(pid, 0) != 0; }, std::chrono::seconds(5));
    pid = 0;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const std::string& name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.c_str()), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// The time the CLIPBOARD's owner took it, as the owner answers for it.
std::optional<xcb_timestamp_t> clipboardTime(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t clipboard) {
    const xcb_atom_t property = internAtom(connection, "DICTARO_TEST_CLIPBOARD_TIME");
    xcb_convert_selection(connection, window, clipboard, internAtom(connection, "TIMESTAMP"), property,
                          XCB_CURRENT_TIME);
    xcb_flush(connection);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool answered = false;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        xcb_generic_event_t* event = xcb_poll_for_event(connection);
        if (!event) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        answered = (event->response_type & 0x7f) == XCB_SELECTION_NOTIFY &&
                   reinterpret_cast<xcb_selection_notify_event_t*>(event)->property == property;
        std::free(event);
    }
    if (!answered) return std::nullopt;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 1, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr);
    std::optional<xcb_timestamp_t> time;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 4) {
        time = *static_cast<const uint32_t*>(xcb_get_property_value(reply));
    }
    std::free(reply);
    return time;
}

}  // namespace

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        platform::MainActor::drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void keepServing(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

void xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(platform::ChildProcess::run(command), 0) << "xdotool " << arguments.front();
}

std::string clipboardAs(const std::string& mimeType) {
    // xclip waits for the owner's answer, which may be this very process:
    // keep answering while it asks.
    return whileServing([mimeType] {
        return platform::ChildProcess::output({"xclip", "-o", "-selection", "clipboard", "-t", mimeType})
            .value_or("");
    });
}

TargetWindow::TargetWindow(Options options) : appId_(options.appId) {
    record_ = recordFile("dictaro-target-");
    std::vector<std::string> command{PASTE_TARGET_APP, "--app-id", options.appId, "--record", record_.string(),
                                     "--paste", options.paste};
    if (options.ownClipboard) {
        command.push_back("--own-clipboard");
        command.push_back(*options.ownClipboard);
        if (options.secretClipboard) command.push_back("--secret");
    }
    for (const auto& [option, value] : options.extra) {
        command.push_back(option);
        command.push_back(value);
    }
    pid_ = platform::ChildProcess::spawnDetached(command).value_or(0);
    EXPECT_GT(pid_, 0) << "the test editor did not start";
}

TargetWindow::~TargetWindow() {
    kill();
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

void TargetWindow::kill() {
    end(pid_);
}

std::string TargetWindow::text() const {
    return contentsOf(record_);
}

bool TargetWindow::waitUntilActive() {
    platform::x11::Workspace workspace;
    return waitUntil([&] {
        const auto front = workspace.frontmostApplication();
        // The window exists a moment before it carries its id; a test reads
        // both.
        return front && front->processIdentifier == pid_ && front->bundleIdentifier == appId_;
    });
}

bool TargetWindow::waitForText(const std::string& expected) {
    return waitUntil([&] { return text() == expected; });
}

ClipboardManager::ClipboardManager(Kind kind) : record_(recordFile("dictaro-clipboard-manager-")) {
    std::vector<std::string> command{CLIPBOARD_MANAGER_APP, "--record", record_.string()};
    if (kind == Kind::takesOver) command.push_back("--take-over");
    pid_ = platform::ChildProcess::spawnDetached(command).value_or(0);
    EXPECT_GT(pid_, 0) << "the test's clipboard manager did not start";
}

ClipboardManager::~ClipboardManager() {
    end(pid_);
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

bool ClipboardManager::waitUntilRunning() {
    // The manager makes its record once it holds the selection.
    return waitUntil([this] { return std::filesystem::exists(record_); });
}

std::string ClipboardManager::reads() const {
    return contentsOf(record_);
}


ClipboardTakeover::ClipboardTakeover() : connection_(xcb_connect(nullptr, nullptr)) {
    if (xcb_connection_has_error(connection_)) return;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t clipboard = internAtom(connection_, "CLIPBOARD");
    const auto takeAt = [&](xcb_timestamp_t time) {
        xcb_set_selection_owner(connection_, window, clipboard, time);
        xcb_get_selection_owner_reply_t* owner =
            xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, clipboard), nullptr);
        const bool took = owner && owner->owner == window;
        std::free(owner);
        return took;
    };
    // An owner that took the clipboard at the server's current time answers
    // with an older one, which the server refuses: then the current time.
    const std::optional<xcb_timestamp_t> time = clipboardTime(connection_, window, clipboard);
    took_ = (time && takeAt(*time)) || takeAt(XCB_CURRENT_TIME);
}

ClipboardTakeover::~ClipboardTakeover() {
    xcb_disconnect(connection_);
}

}  // namespace desktoptest
