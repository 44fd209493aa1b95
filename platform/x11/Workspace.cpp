#include "platform/x11/Workspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace platform::x11 {
namespace {

std::optional<std::vector<unsigned char>> property(Display* display, WindowId window, const char* name, Atom type) {
    const Atom atom = XInternAtom(display, name, False);
    Atom actualType = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, atom, 0, 4096, False, type, &actualType, &format, &count, &remaining,
                           &data) != Success ||
        !data || actualType == None) {
        if (data) XFree(data);
        return std::nullopt;
    }
    // Xlib hands 32-bit items back as longs.
    const std::size_t itemSize = format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
    std::vector<unsigned char> bytes(data, data + count * itemSize);
    XFree(data);
    return bytes;
}

std::optional<std::string> textProperty(Display* display, WindowId window, const char* name) {
    auto bytes = property(display, window, name, AnyPropertyType);
    if (!bytes || bytes->empty()) return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    if (text.empty()) return std::nullopt;
    return text;
}

std::optional<unsigned long> cardinalProperty(Display* display, WindowId window, const char* name, Atom type) {
    auto bytes = property(display, window, name, type);
    if (!bytes || bytes->size() < sizeof(long)) return std::nullopt;
    unsigned long value = 0;
    std::memcpy(&value, bytes->data(), sizeof value);
    return value;
}

std::string desktopFileId(std::string file) {
    if (const auto slash = file.rfind('/'); slash != std::string::npos) file.erase(0, slash + 1);
    constexpr std::string_view suffix = ".desktop";
    if (file.size() > suffix.size() && file.ends_with(suffix)) file.erase(file.size() - suffix.size());
    return file;
}

std::vector<std::filesystem::path> applicationFolders() {
    std::vector<std::filesystem::path> folders;
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome && *dataHome) {
        folders.emplace_back(std::filesystem::path(dataHome) / "applications");
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        folders.emplace_back(std::filesystem::path(home) / ".local/share/applications");
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    std::istringstream dirs(dataDirs && *dataDirs ? dataDirs : "/usr/local/share:/usr/share");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        if (!dir.empty()) folders.emplace_back(std::filesystem::path(dir) / "applications");
    }
    return folders;
}

// The Name entry of the desktop file for `id`, from its [Desktop Entry] group.
std::optional<std::string> desktopFileName(const std::string& id) {
    for (const auto& folder : applicationFolders()) {
        std::ifstream file(folder / (id + ".desktop"));
        if (!file) continue;
        bool inEntry = false;
        for (std::string line; std::getline(file, line);) {
            if (line.starts_with("[")) inEntry = line == "[Desktop Entry]";
            else if (inEntry && line.starts_with("Name=") && line.size() > 5) return line.substr(5);
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<WindowId> activeWindow(Display* display) {
    const auto window = cardinalProperty(display, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (!window || *window == 0) return std::nullopt;
    return static_cast<WindowId>(*window);
}

std::optional<RunningApplication> describeWindow(Display* display, WindowId window) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) return std::nullopt;
    RunningApplication application;
    application.window = window;
    if (auto pid = cardinalProperty(display, window, "_NET_WM_PID", XA_CARDINAL)) {
        application.processIdentifier = static_cast<pid_t>(*pid);
    }
    std::optional<std::string> windowClass;
    if (auto wmClass = property(display, window, "WM_CLASS", XA_STRING)) {
        // "instance\0class\0"
        const std::string both(wmClass->begin(), wmClass->end());
        const auto split = both.find('\0');
        if (split != std::string::npos) {
            std::string klass = both.substr(split + 1);
            while (!klass.empty() && klass.back() == '\0') klass.pop_back();
            if (!klass.empty()) windowClass = klass;
        }
    }
    std::optional<std::string> desktopFile;
    for (const char* name : {"_KDE_NET_WM_DESKTOP_FILE", "_BAMF_DESKTOP_FILE"}) {
        if (auto file = textProperty(display, window, name)) {
            desktopFile = desktopFileId(*file);
            break;
        }
    }
    if (auto gtkId = textProperty(display, window, "_GTK_APPLICATION_ID")) application.bundleIdentifier = gtkId;
    else if (desktopFile) application.bundleIdentifier = desktopFile;
    else application.bundleIdentifier = windowClass;
    if (application.bundleIdentifier) application.localizedName = desktopFileName(*application.bundleIdentifier);
    if (!application.localizedName) application.localizedName = windowClass;
    return application;
}

Workspace::Workspace() = default;

std::optional<RunningApplication> Workspace::frontmostApplication() {
    const auto window = activeWindow(connection_.display());
    if (!window) return std::nullopt;
    return describe(*window);
}

std::optional<RunningApplication> Workspace::describe(WindowId window) {
    auto application = describeWindow(connection_.display(), window);
    connection_.syncAndTakeError();
    return application;
}

bool Workspace::isRunning(const RunningApplication& application) {
    if (application.processIdentifier > 0 && ::kill(application.processIdentifier, 0) != 0 && errno == ESRCH) {
        return false;
    }
    XWindowAttributes attributes;
    const Status found = XGetWindowAttributes(connection_.display(), application.window, &attributes);
    return connection_.syncAndTakeError() == 0 && found != 0;
}

bool Workspace::activate(const RunningApplication& application, std::chrono::milliseconds timeout) {
    Display* display = connection_.display();
    XEvent message{};
    message.xclient.type = ClientMessage;
    message.xclient.window = application.window;
    message.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    message.xclient.format = 32;
    message.xclient.data.l[0] = 2;  // the request comes from a pager-like tool acting for the user
    message.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, connection_.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &message);
    if (connection_.syncAndTakeError() != 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (activeWindow(display) == application.window) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

ActivationWatcher::ActivationWatcher(std::function<void(std::optional<RunningApplication>)> onActivate)
    : onActivate_(std::move(onActivate)) {
    Display* display = connection_.display();
    const Atom activeAtom = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XSelectInput(display, connection_.root(), PropertyChangeMask);
    connection_.syncAndTakeError();
    connection_.startReading([this, display, activeAtom](const XEvent& event) {
        if (event.type != PropertyNotify || event.xproperty.atom != activeAtom) return;
        const auto window = activeWindow(display);
        onActivate_(window ? describeWindow(display, *window) : std::nullopt);
    });
}

}  // namespace platform::x11
