#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dictaro {

// What the tray icon's menu holds, decided without the toolkit.
enum class StatusMenuAction { toggleRecording, openSetup, runPractice, viewLogs, revealLogs, quitApp };

struct StatusMenuEntry {
    // None for a separator.
    std::optional<StatusMenuAction> action;
    std::string title;
    // A key chord such as "Ctrl+Q", or empty.
    std::string shortcut;
    // Shown in place of the entry before it while Alt is held.
    bool isAlternate = false;

    friend bool operator==(const StatusMenuEntry&, const StatusMenuEntry&) = default;
};

class StatusMenuPresenter {
public:
    // Every entry in menu order, alternates included.
    static const std::vector<StatusMenuEntry>& entries();

    // Whether an entry is on screen: an alternate only while Alt is held, and
    // the entry it stands in for only while it is not.
    static bool isShown(std::size_t index, bool altHeld);

    // What both log entries act on: the log itself once it exists, else its
    // folder. "View Logs…" opens it; "Reveal Logs" selects the file in the
    // file manager, or opens the folder.
    static std::filesystem::path logsTarget(const std::filesystem::path& logFile);
};

}  // namespace dictaro
