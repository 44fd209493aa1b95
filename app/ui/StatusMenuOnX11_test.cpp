#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>
#include <string>
#include <vector>

#include "app/ui/StatusBarController.h"
#include "tests/desktop/DesktopSession.h"

namespace dictaro {
namespace {

std::vector<std::string> shownEntries(const QMenu& menu) {
    std::vector<std::string> titles;
    for (const QAction* action : menu.actions()) {
        if (action->isVisible() && !action->isSeparator()) titles.push_back(action->text().toStdString());
    }
    return titles;
}

bool shows(const QMenu& menu, const std::string& title) {
    const auto titles = shownEntries(menu);
    return std::find(titles.begin(), titles.end(), title) != titles.end();
}

// The Alt key pressed through the X server reaches the open menu, which holds
// the keyboard, and swaps the log entry both ways.
TEST(StatusMenuOnX11, AltHeldOnTheKeyboardSwapsViewLogsForRevealWhileTheMenuIsOpen) {
    StatusBarController controller;
    controller.setup();
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable()) << "no tray to dock into";
    QMenu& menu = *controller.menu();
    menu.popup(QPoint(1800, 30));
    ASSERT_TRUE(desktoptest::waitUntil([&] { return menu.isVisible(); }));
    desktoptest::keepServing(std::chrono::milliseconds(200));
    EXPECT_TRUE(shows(menu, "View Logs…"));
    EXPECT_FALSE(shows(menu, "Reveal Logs in File Manager"));

    desktoptest::xdotool({"keydown", "alt"});
    EXPECT_TRUE(desktoptest::waitUntil([&] { return shows(menu, "Reveal Logs in File Manager"); }));
    EXPECT_FALSE(shows(menu, "View Logs…"));
    EXPECT_EQ(shownEntries(menu).size(), 5u);

    desktoptest::xdotool({"keyup", "alt"});
    EXPECT_TRUE(desktoptest::waitUntil([&] { return shows(menu, "View Logs…"); }));
    EXPECT_FALSE(shows(menu, "Reveal Logs in File Manager"));
    menu.hide();
}

// Alt already held when the menu opens shows the alternate straight away.
TEST(StatusMenuOnX11, AltHeldBeforeOpeningShowsRevealAtOnce) {
    StatusBarController controller;
    controller.setup();
    QMenu& menu = *controller.menu();
    desktoptest::xdotool({"keydown", "alt"});
    desktoptest::keepServing(std::chrono::milliseconds(100));
    menu.popup(QPoint(1800, 30));
    ASSERT_TRUE(desktoptest::waitUntil([&] { return menu.isVisible(); }));
    EXPECT_TRUE(shows(menu, "Reveal Logs in File Manager"));
    EXPECT_FALSE(shows(menu, "View Logs…"));
    desktoptest::xdotool({"keyup", "alt"});
    menu.hide();
}

}  // namespace
}  // namespace dictaro
