#include "app/ui/StatusBarController.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
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

void sendAlt(QMenu& menu, QEvent::Type type) {
    QKeyEvent event(type, Qt::Key_Alt, type == QEvent::KeyPress ? Qt::AltModifier : Qt::NoModifier);
    QApplication::sendEvent(&menu, &event);
}

TEST(StatusBarController, MenuShowsRevealInPlaceOfViewWhileAltIsHeld) {
    StatusBarController controller;
    controller.setup();
    QMenu& menu = *controller.menu();

    const std::vector<std::string> released = {"Start Recording (Super+Alt+M)", "---", "Setup…", "Run Practice Again",
                                               "---", "View Logs…", "---", "Quit Dictaro"};
    std::vector<std::string> held = released;
    held[5] = "Reveal Logs in File Manager";

    EXPECT_EQ(shownEntries(menu), released);
    sendAlt(menu, QEvent::KeyPress);
    EXPECT_EQ(shownEntries(menu), held);
    sendAlt(menu, QEvent::KeyRelease);
    EXPECT_EQ(shownEntries(menu), released);
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
