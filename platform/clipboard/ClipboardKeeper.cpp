#include "platform/clipboard/ClipboardKeeper.h"

#include <fcntl.h>
#include <unistd.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QTimer>
#include <cerrno>
#include <charconv>
#include <chrono>

#include "platform/clipboard/SnapshotMimeData.h"
#include "platform/clipboard/ToolkitSelection.h"
#include "platform/process/ChildProcess.h"

namespace platform::clipboard {
namespace {

constexpr std::chrono::milliseconds ownerCheckInterval{200};

std::string readAll(int fd) {
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

// The text up to the next newline, which is taken off `bytes` with it.
std::optional<std::string_view> takeLine(std::string_view& bytes) {
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view line = bytes.substr(0, end);
    bytes.remove_prefix(end + 1);
    return line;
}

}  // namespace

// Each format as its name, a newline, the length of its bytes in decimal, a
// newline and the bytes.
std::string encodeContents(const PasteboardSnapshot& contents) {
    std::string bytes;
    for (const auto& [format, data] : contents.formats) {
        bytes += format + '\n' + std::to_string(data.size()) + '\n';
        bytes.append(data.begin(), data.end());
    }
    return bytes;
}

std::optional<PasteboardSnapshot> decodeContents(std::string_view bytes) {
    PasteboardSnapshot contents;
    while (!bytes.empty()) {
        const std::optional<std::string_view> format = takeLine(bytes);
        const std::optional<std::string_view> length = takeLine(bytes);
        if (!format || format->empty() || !length) return std::nullopt;
        std::size_t size = 0;
        const auto [end, error] = std::from_chars(length->data(), length->data() + length->size(), size);
        if (error != std::errc() || end != length->data() + length->size() || size > bytes.size()) return std::nullopt;
        contents.formats.emplace_back(std::string(*format), std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
        bytes.remove_prefix(size);
    }
    return contents;
}

bool startClipboardKeeper(const std::vector<std::string>& command, const PasteboardSnapshot& contents) {
    return platform::ChildProcess::spawnDetached(command, encodeContents(contents)).has_value();
}

int runClipboardKeeper(int argc, char** argv) {
    // Out of the quitting program's session: closing the terminal it was
    // started from must not end the clipboard too.
    ::setsid();
    const std::optional<PasteboardSnapshot> contents = decodeContents(readAll(STDIN_FILENO));
    if (!contents || contents->formats.empty()) return 1;
    // Nor may it hold on to the terminal or pipe the program wrote to: a
    // script reading that output would wait for the clipboard to change.
    if (const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC); nothing >= 0) {
        for (const int stream : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(nothing, stream);
        ::close(nothing);
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(mimeDataOf(*contents), QClipboard::Clipboard);
    const xcb_window_t ours = selectionOwner("CLIPBOARD");
    if (!clipboard->ownsClipboard() || ours == XCB_WINDOW_NONE) return 1;
    // The X server is asked rather than the toolkit told: a program that
    // takes the clipboard stamped with the very time we took it passes the
    // server, while the toolkit ignores its notice as no later than ours.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &application, [ours] {
        if (selectionOwner("CLIPBOARD") != ours) QCoreApplication::quit();
    });
    watch.start(ownerCheckInterval);
    return QGuiApplication::exec();
}

}  // namespace platform::clipboard
