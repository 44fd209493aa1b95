#include "app/ui/StatusBarController.h"
#include "app/ui/StatusMenuPresenter.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <string>
#include <vector>

namespace dictaro {
namespace {

std::vector<std::string> shownEntries(const QMenu& menu) {
    std::vector<std::string> titles;
    for (const QAction* action : menu.actions()) {
        if (!action->isVisible()) continue;
        titles.push_back(action->isSeparator() ? "---" : action->text().toStdString());
    }
    return titles;
}

// Alt is followed on the X server (see StatusMenuOnX11_test); here the menu
// is checked as built, and which entries Alt swaps.
TEST(StatusBarController, MenuHoldsTheEntriesInOrderAndAltSwapsOnlyTheLogEntry) {
    StatusBarController controller;
    controller.setup();
    const std::vector<std::string> released = {"Start Recording (Super+Alt+M)", "---", "Setup…", "Run Practice Again",
                                               "---", "View Logs…", "---", "Quit Dictaro"};
    EXPECT_EQ(shownEntries(*controller.menu()), released);

    const auto& entries = StatusMenuPresenter::entries();
    for (std::size_t index = 0; index < entries.size(); ++index) {
        SCOPED_TRACE(entries[index].title);
        const bool isLogEntry = entries[index].action == StatusMenuAction::viewLogs ||
                                entries[index].action == StatusMenuAction::revealLogs;
        EXPECT_EQ(StatusMenuPresenter::isShown(index, true) != StatusMenuPresenter::isShown(index, false), isLogEntry);
    }
}

TEST(StatusBarController, EntriesRunTheirCallbacksAndCarryTheirShortcuts) {
    StatusBarController controller;
    std::vector<std::string> calls;
    controller.onToggleRecording = [&] { calls.push_back("toggle"); };
    controller.onOpenSetup = [&] { calls.push_back("setup"); };
    controller.onRunPractice = [&] { calls.push_back("practice"); };
    controller.setup();

    struct Case {
        std::string title;
        std::string shortcut;
        std::vector<std::string> calls;
    };
    const std::vector<Case> cases = {
        {"Start Recording (Super+Alt+M)", "", {"toggle"}},
        {"Setup…", "Ctrl+,", {"setup"}},
        {"Run Practice Again", "", {"practice"}},
        {"Quit Dictaro", "Ctrl+Q", {}},
    };
    for (const Case& entry : cases) {
        SCOPED_TRACE(entry.title);
        QAction* found = nullptr;
        for (QAction* action : controller.menu()->actions()) {
            if (action->text().toStdString() == entry.title) found = action;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->shortcut().toString().toStdString(), entry.shortcut);
        if (entry.title == "Quit Dictaro") continue;
        calls.clear();
        found->trigger();
        EXPECT_EQ(calls, entry.calls);
    }
}

}  // namespace
}  // namespace dictaro
