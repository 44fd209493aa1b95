#include "app/ui/StatusMenuPresenter.h"

#include "app/ui/DesktopWording.h"

namespace dictaro {

const std::vector<StatusMenuEntry>& StatusMenuPresenter::entries() {
    static const std::vector<StatusMenuEntry> menu = [] {
        using enum StatusMenuAction;
        const std::string hotkey(wording::hotkey);
        const std::string fileViewer(wording::fileViewer);
        return std::vector<StatusMenuEntry>{
            {toggleRecording, "Start Recording (" + hotkey + ")", "", false},
            {std::nullopt, "", "", false},
            {openSetup, "Setup…", "Ctrl+,", false},
            {runPractice, "Run Practice Again", "", false},
            {std::nullopt, "", "", false},
            {viewLogs, "View Logs…", "", false},
            {revealLogs, "Reveal Logs in " + fileViewer, "", true},
            {std::nullopt, "", "", false},
            {quitApp, "Quit Dictaro", "Ctrl+Q", false},
        };
    }();
    return menu;
}

bool StatusMenuPresenter::isShown(std::size_t index, bool altHeld) {
    const auto& menu = entries();
    if (menu.at(index).isAlternate) return altHeld;
    const bool replacedByNext = index + 1 < menu.size() && menu[index + 1].isAlternate;
    return !(replacedByNext && altHeld);
}

std::filesystem::path StatusMenuPresenter::logsTarget(const std::filesystem::path& logFile) {
    std::error_code error;
    return std::filesystem::exists(logFile, error) ? logFile : logFile.parent_path();
}

}  // namespace dictaro
