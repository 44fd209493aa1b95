#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>
#include <vector>

#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Log.h"
#include "app/dictation/RecordingKeyTap.h"
#include "tests/support/LogLines.h"
#include "tests/desktop/DesktopSession.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using desktoptest::TargetWindow;
using desktoptest::waitUntil;
using desktoptest::xdotool;

TEST(HotkeyManager, EachPressRunsTheNewestHandlerOnceAndARefusedGrabIsLogged) {
    auto systemLog = testsupport::LogLines::install();
    TargetWindow target(TargetWindow::Options{});
    ASSERT_TRUE(target.waitUntilActive());

    int firstHandler = 0;
    int presses = 0;
    HotkeyManager manager;
    manager.registerAction(HotkeyManager::Action::toggle, [&] { ++firstHandler; });
    manager.registerAction(HotkeyManager::Action::toggle, [&] { ++presses; });
    xdotool({"key", "super+alt+m", "super+alt+m"});
    EXPECT_TRUE(waitUntil([&] { return presses == 2; }));
    // Caps Lock on changes nothing.
    xdotool({"key", "Caps_Lock", "super+alt+m", "Caps_Lock"});
    EXPECT_TRUE(waitUntil([&] { return presses == 3; }));
    // Held down, the key repeats; the repeats are not presses.
    xdotool({"keydown", "super+alt+m"});
    desktoptest::keepServing(900ms);
    xdotool({"keyup", "m", "alt", "super"});
    desktoptest::keepServing(300ms);
    EXPECT_EQ(presses, 4);
    EXPECT_EQ(firstHandler, 0);
    EXPECT_EQ(target.text(), "") << "the grabbed key reached the focused window";

    // A second program holding the same key: ours is refused by the server.
    HotkeyManager rival;
    rival.registerAction(HotkeyManager::Action::toggle, [] {});
    manager.unregisterAll();
    xdotool({"key", "super+alt+m"});
    EXPECT_TRUE(target.waitForText("m")) << "the key did not reach the window after unregisterAll";
    EXPECT_EQ(presses, 4);
    HotkeyManager again;
    again.registerAction(HotkeyManager::Action::toggle, [] {});
    systemLog->uninstall();

    // The refusal also goes to the application's own log, which copies its
    // lines to the system log with their category.
    const std::vector<std::string> expected{"HotkeyManager: registered toggle", "HotkeyManager: registered toggle",
                                            "HotkeyManager: failed to register toggle, status=10",
                                            "[app] HotkeyManager: failed to register toggle, status=10",
                                            "HotkeyManager: registered toggle"};
    EXPECT_EQ(systemLog->texts(), expected);
}

TEST(RecordingKeyTap, TakesOnlyItsKeysWhileInstalledAndDropsRepeats) {
    TargetWindow target(TargetWindow::Options{});
    ASSERT_TRUE(target.waitUntilActive());
    std::vector<TappedRecordingKey> performed;
    RecordingKeyTap tap([&](TappedRecordingKey key) { performed.push_back(key); });
    tap.install();
    ASSERT_TRUE(tap.isInstalled());

    using K = TappedRecordingKey;
    struct Step {
        std::vector<std::string> keys;
        std::vector<K> performed;  // what the presses add
        std::string typed;         // what reaches the window
    };
    const Step steps[] = {
        {{"space", "space"}, {K::pause, K::pause}, ""},
        {{"r", "Return"}, {K::restart, K::stop}, ""},
        {{"Escape", "shift+Escape", "ctrl+Escape"}, {K::cancel, K::cancel, K::cancel}, ""},
        {{"shift+space", "a", "shift+r", "KP_Enter"}, {}, " aR\n"},
        {{"Caps_Lock", "space", "Caps_Lock"}, {K::pause}, ""},
    };
    std::vector<K> expected;
    std::string typed;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.keys.front());
        std::vector<std::string> arguments{"key"};
        arguments.insert(arguments.end(), step.keys.begin(), step.keys.end());
        xdotool(arguments);
        expected.insert(expected.end(), step.performed.begin(), step.performed.end());
        typed += step.typed;
        EXPECT_TRUE(waitUntil([&] { return performed == expected && target.text() == typed; }))
            << "typed \"" << target.text() << "\", " << performed.size() << " commands";
    }
    // A held Space pauses once.
    xdotool({"keydown", "space"});
    desktoptest::keepServing(900ms);
    xdotool({"keyup", "space"});
    desktoptest::keepServing(200ms);
    expected.push_back(K::pause);
    EXPECT_EQ(performed, expected);

    tap.remove();
    xdotool({"key", "space", "r", "Return"});
    EXPECT_TRUE(target.waitForText(typed + " r\n")) << "keys did not come back after remove: " << target.text();
    EXPECT_EQ(performed, expected);
}

TEST(RecordingKeyTap, TakesOnlyTheChosenKeysAndANewChoiceReplacesTheOld) {
    using K = TappedRecordingKey;
    TargetWindow target(TargetWindow::Options{});
    ASSERT_TRUE(target.waitUntilActive());
    std::vector<K> performed;
    RecordingKeyTap tap([&](K key) { performed.push_back(key); });
    const std::array escOnly{K::cancel};
    tap.install(escOnly);
    ASSERT_TRUE(tap.isInstalled());
    xdotool({"key", "space", "Return", "r", "Escape"});
    EXPECT_TRUE(waitUntil([&] { return performed == std::vector<K>{K::cancel} && target.text() == " \nr"; }))
        << "typed \"" << target.text() << "\", " << performed.size() << " commands";

    tap.install();
    xdotool({"key", "space", "a"});
    EXPECT_TRUE(waitUntil(
        [&] { return performed == std::vector<K>{K::cancel, K::pause} && target.text() == " \nra"; }))
        << "typed \"" << target.text() << "\", " << performed.size() << " commands";
}

TEST(RecordingKeyTap, LogsAndTakesNoKeyWhenAnotherProgramHoldsThem) {
    std::vector<TappedRecordingKey> performed;
    RecordingKeyTap holder([](TappedRecordingKey) {});
    holder.install();
    ASSERT_TRUE(holder.isInstalled());
    RecordingKeyTap refused([&](TappedRecordingKey key) { performed.push_back(key); });
    refused.install();
    EXPECT_FALSE(refused.isInstalled());
    Log::waitUntilWritten();
    std::ifstream in(Log::fileURL());
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_NE(content.str().find(" ERROR [eventTap] failed to create recording event tap — Accessibility likely missing\n"),
              std::string::npos);
    // Once the holder lets go, the refused tap holds no key either.
    holder.remove();
    TargetWindow target(TargetWindow::Options{});
    ASSERT_TRUE(target.waitUntilActive());
    xdotool({"key", "space"});
    EXPECT_TRUE(target.waitForText(" "));
    EXPECT_TRUE(performed.empty());
}

}  // namespace
}  // namespace dictaro
