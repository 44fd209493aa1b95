#include <gtest/gtest.h>
#include <signal.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ui/ThemePalette.h"
#include "platform/accessibility/Accessibility.h"
#include "platform/process/ChildProcess.h"
#include "platform/settings/UserDefaults.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/desktop/SpokenDictation.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/PrivateSessionBus.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestHubServer.h"

// The program as a user meets it on a fresh desktop: the setup window at the
// first start, then a dictation by hot key into another program's editor,
// rewritten by the formatting provider the settings name.
namespace {

using namespace std::chrono_literals;
using desktoptest::clipboardAs;
using desktoptest::TargetWindow;
using desktoptest::waitUntil;
using desktoptest::xdotool;

QImage saveScreenshot(const std::string& name) {
    std::filesystem::create_directories(SCREENSHOT_DIR);
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    EXPECT_TRUE(shot.save(QString::fromStdString(std::string(SCREENSHOT_DIR) + "/" + name + ".png")));
    return shot;
}

// Pixels in the theme's accent colour, which the level meter draws in.
int accentPixels(const QImage& shot) {
    const dictaro::Rgb ember = dictaro::rgb(dictaro::ThemeColour::ember);
    const QRgb accent = qRgb(ember.red, ember.green, ember.blue);
    int count = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) count += (shot.pixel(x, y) & 0xFFFFFF) == (accent & 0xFFFFFF);
    }
    return count;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The first visible window whose title is `title`, if there is one now.
std::optional<std::string> shownWindow(const std::string& title) {
    const auto ids = platform::ChildProcess::output({"xdotool", "search", "--onlyvisible", "--name", "^" + title + "$"});
    if (!ids || ids->empty()) return std::nullopt;
    return ids->substr(0, ids->find('\n'));
}

// How many windows of the process are on the screen (its tray icon is one).
std::size_t shownWindowsOf(pid_t pid) {
    const std::string ids =
        platform::ChildProcess::output({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}).value_or("");
    return static_cast<std::size_t>(std::count(ids.begin(), ids.end(), '\n'));
}

// The visible windows of the process named `name`, or those of every copy
// of the program for no process: its tray icon is named "Dictaro", and so is
// the tray's menu while it is open.
std::vector<std::string> windowsNamed(std::optional<pid_t> pid, const std::string& name) {
    const std::vector<std::string> search =
        pid ? std::vector<std::string>{"xdotool", "search", "--onlyvisible", "--pid", std::to_string(*pid)}
            : std::vector<std::string>{"xdotool", "search", "--onlyvisible", "--classname", "^dictaro$"};
    std::istringstream ids(platform::ChildProcess::output(search).value_or(""));
    std::vector<std::string> named;
    for (std::string id; std::getline(ids, id);) {
        const auto title = platform::ChildProcess::output({"xdotool", "getwindowname", id});
        if (title && *title == name + "\n") named.push_back(id);
    }
    return named;
}

// How many processes run the program, whatever they do.
std::size_t runningCopies() {
    const std::filesystem::path program = std::filesystem::canonical(DICTARO_EXECUTABLE);
    std::size_t copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path() / "exe", error) == program) ++copies;
    }
    return copies;
}

// Toolkit accessibility on, as "Grant Access" turns it on, or off again, as a
// new session has it.
void switchAccessibility(bool on) {
    EXPECT_TRUE(platform::ChildProcess::output(
        {"dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
         "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
         std::string("variant:boolean:") + (on ? "true" : "false")}));
}

class DictaroApplication : public ::testing::Test {
protected:
    void SetUp() override {
        // The program reads and writes the providers' keys.
        ASSERT_TRUE(testsupport::onPrivateSessionBus());
        desktoptest::serveSpeechModel(folder.path() / "hub");
        hub = std::make_unique<testsupport::TestHubServer>(folder.path() / "hub");
        desktoptest::useTestHub(hub->endpoint(), folder.path() / "home");
        ::setenv("XDG_CONFIG_HOME", (folder.path() / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (folder.path() / "state").c_str(), 1);

        // A first start: nothing but the formatting settings, which name the
        // provider; the practice run is left out, it has its own tests.
        platform::UserDefaults settings(folder.path() / "config" / "dictaro" / "settings.json");
        settings.set("FormattingEnabled", platform::JSONNumber::boolean(true));
        settings.set("FormattingProvider", "ollama");
        settings.set("OllamaHost", provider.endpoint());
        settings.set("FormattingModel-ollama", "llama3.2");
        settings.set("PracticeShown", platform::JSONNumber::boolean(true));
        provider.script("/api/chat", desktoptest::formattedAnswer());
    }

    void TearDown() override {
        if (application > 0) ::kill(application, SIGTERM);
        desktoptest::keepServing(300ms);
        if (application > 0) ::kill(application, SIGKILL);
        switchAccessibility(false);
    }

    std::string log() const { return readFile(folder.path() / "state" / "dictaro" / "dictaro.log"); }

    platform::UserDefaults settings() const {
        return platform::UserDefaults(folder.path() / "config" / "dictaro" / "settings.json");
    }

    // Starts the program as a user does and waits until it is ready to dictate.
    void startApplication() {
        // The log goes on from an earlier start.
        const std::size_t logged = log().size();
        application = platform::ChildProcess::spawnDetached({DICTARO_EXECUTABLE}).value_or(0);
        ASSERT_GT(application, 0);
        ASSERT_TRUE(waitUntil([&] { return log().find("model loaded", logged) != std::string::npos; }, 30s))
            << "the model did not load:\n" << log();
        ASSERT_TRUE(waitUntil([&] { return windowsNamed(application, "Dictaro").size() == 1; })) << "no tray icon";
    }

    // A dictation by hot key into `target`, which is in front.
    void dictateInto(TargetWindow& target) {
        testsupport::PipeMicrophone microphone;
        xdotool({"key", "super+alt+m"});
        microphone.say(desktoptest::dictatedSpeech());
        ASSERT_TRUE(microphone.waitUntilSaid(20s));
        desktoptest::keepServing(1s);
        xdotool({"key", "Return"});
        ASSERT_TRUE(waitUntil([&] { return target.text() == desktoptest::formattedTranscript; }, 15s))
            << "the editor holds \"" << target.text() << "\"; the log:\n" << log();
    }

    // "Quit Dictaro", the last entry of the tray icon's menu, and the end of
    // the program.
    void quitFromTheTray() {
        std::vector<std::string> icon;
        // A window closing while xdotool looks makes it miss the others.
        ASSERT_TRUE(waitUntil([&] { return (icon = windowsNamed(application, "Dictaro")).size() == 1; }))
            << "no tray icon";
        xdotool({"mousemove", "--window", icon.front(), "10", "10", "click", "3"});
        ASSERT_TRUE(waitUntil([&] { return windowsNamed(application, "Dictaro").size() == 2; })) << "no tray menu";
        xdotool({"key", "Up", "Return"});
        ASSERT_TRUE(waitUntil([&] { return ::kill(application, 0) != 0; }, 10s)) << "Dictaro did not quit";
        application = 0;
    }

    testsupport::TempDirectory folder;
    std::unique_ptr<testsupport::TestHubServer> hub;
    testsupport::FakeProviderServer provider;
    pid_t application = 0;
};

TEST_F(DictaroApplication, FirstStartSetupThenAHotKeyDictationPastesTheRewriteAndKeepsTheClipboard) {
    TargetWindow::Options options;
    options.ownClipboard = "the user's own words";
    TargetWindow target(options);
    ASSERT_TRUE(target.waitUntilActive());

    application = platform::ChildProcess::spawnDetached({DICTARO_EXECUTABLE}).value_or(0);
    ASSERT_GT(application, 0);
    ASSERT_TRUE(waitUntil([] { return shownWindow("Dictaro Setup").has_value(); }, 10s))
        << "no setup window at the first start";
    const std::string setup = *shownWindow("Dictaro Setup");
    ASSERT_TRUE(waitUntil([&] { return log().find("model loaded") != std::string::npos; }, 30s))
        << "the model did not load:\n" << log();
    EXPECT_GT(hub->requestCount("GET"), 0);
    xdotool({"windowactivate", "--sync", setup});
    xdotool({"key", "Return"});
    desktoptest::keepServing(500ms);
    EXPECT_TRUE(shownWindow("Dictaro Setup")) << "the setup finished without Accessibility";
    saveScreenshot("application-setup-waiting");

    // "Grant Access" on the Accessibility row, at its place in the window's
    // fixed layout; the window's poll then sees the permission.
    xdotool({"mousemove", "--window", setup, "497", "237", "click", "1"});
    ASSERT_TRUE(waitUntil([] { return platform::accessibility::isProcessTrusted(); }))
        << "Grant Access did not turn accessibility on";
    desktoptest::keepServing(1500ms);
    saveScreenshot("application-setup-ready");
    xdotool({"windowactivate", "--sync", setup});
    xdotool({"key", "Return"});
    ASSERT_TRUE(waitUntil([] { return !shownWindow("Dictaro Setup"); })) << "Return did not finish the setup";
    EXPECT_EQ(platform::UserDefaults(folder.path() / "config" / "dictaro" / "settings.json").boolean("OnboardingShown"),
              true);

    // Back in the editor, the user dictates.
    const auto editor = platform::ChildProcess::output(
        {"xdotool", "search", "--onlyvisible", "--pid", std::to_string(target.pid()), "--name", "."});
    ASSERT_TRUE(editor && !editor->empty());
    xdotool({"windowactivate", "--sync", editor->substr(0, editor->find('\n'))});
    ASSERT_TRUE(target.waitUntilActive());
    const std::size_t windowsBefore = shownWindowsOf(application);
    testsupport::PipeMicrophone microphone;
    xdotool({"key", "super+alt+m"});
    microphone.say(desktoptest::dictatedSpeech());
    desktoptest::keepServing(3s);
    // Standing bars, not the row of dots of a meter that hears nothing.
    EXPECT_GT(accentPixels(saveScreenshot("application-dictating")), 1000) << "the level meter stays flat";
    EXPECT_EQ(shownWindowsOf(application), windowsBefore + 1) << "no panel while dictating";
    ASSERT_TRUE(microphone.waitUntilSaid(20s));
    desktoptest::keepServing(1s);
    EXPECT_EQ(target.text(), "");
    xdotool({"key", "Return"});
    EXPECT_TRUE(waitUntil([&] { return target.text() == desktoptest::formattedTranscript; }, 15s))
        << "the editor holds \"" << target.text() << "\"; the log:\n" << log();
    EXPECT_TRUE(waitUntil([] { return clipboardAs("text/plain") == "the user's own words"; }))
        << "the clipboard holds \"" << clipboardAs("text/plain") << "\"";
    EXPECT_TRUE(waitUntil([&] { return shownWindowsOf(application) == windowsBefore; })) << "the panel stayed open";
    saveScreenshot("application-pasted");
    std::vector<testsupport::ProviderRequest> rewrites;
    for (const auto& request : provider.requests()) {
        if (request.path == "/api/chat") rewrites.push_back(request);
    }
    ASSERT_EQ(rewrites.size(), 1u);
    EXPECT_NE(rewrites.front().body.find(desktoptest::rawTranscript), std::string::npos);
}

// To give the user's clipboard back after a paste, the program serves it
// itself; the program it came from may be gone by then. A quit must leave it
// on the clipboard, with a clipboard manager to take it or without one.
TEST_F(DictaroApplication, TheUsersClipboardOutlivesAQuitWithOrWithoutAClipboardManager) {
    settings().set("OnboardingShown", platform::JSONNumber::boolean(true));
    switchAccessibility(true);
    provider.script("/api/chat", desktoptest::formattedAnswer());
    const std::filesystem::path words = folder.path() / "words.txt";
    std::ofstream(words) << "the helper's words";
    for (const bool withManager : {false, true}) {
        SCOPED_TRACE(withManager ? "with a clipboard manager" : "without a clipboard manager");
        std::optional<desktoptest::ClipboardManager> manager;
        if (withManager) {
            manager.emplace(desktoptest::ClipboardManager::Kind::reads);
            ASSERT_TRUE(manager->waitUntilRunning());
        }
        // A command-line tool holds the user's clipboard until another
        // program takes it, and then exits.
        const pid_t helper =
            platform::ChildProcess::spawnDetached({"xclip", "-quiet", "-selection", "clipboard", words.string()})
                .value_or(0);
        ASSERT_GT(helper, 0);
        ASSERT_TRUE(waitUntil([] { return clipboardAs("text/plain") == "the helper's words"; }));
        TargetWindow target(TargetWindow::Options{});
        ASSERT_TRUE(target.waitUntilActive());

        ASSERT_NO_FATAL_FAILURE(startApplication());
        ASSERT_NO_FATAL_FAILURE(dictateInto(target));
        EXPECT_TRUE(waitUntil([&] { return ::kill(helper, 0) != 0; })) << "the helper kept the clipboard";
        EXPECT_TRUE(waitUntil([] { return clipboardAs("text/plain") == "the helper's words"; }));
        ASSERT_NO_FATAL_FAILURE(quitFromTheTray());
        EXPECT_EQ(clipboardAs("text/plain"), "the helper's words");

        // Once another program takes the clipboard, nothing of ours runs on,
        // even where that program's time is the very time the keeper took it.
        const desktoptest::ClipboardTakeover another;
        ASSERT_TRUE(another.took());
        EXPECT_TRUE(waitUntil([] { return runningCopies() == 0; })) << "a process of ours outlived the clipboard";
    }
}

// One copy runs per user and display: a second start brings the running
// one's setup window up and ends, without a model or a tray icon of its own.
TEST_F(DictaroApplication, ASecondStartShowsTheRunningCopysSetupWindowAndEnds) {
    settings().set("OnboardingShown", platform::JSONNumber::boolean(true));
    switchAccessibility(true);
    ASSERT_NO_FATAL_FAILURE(startApplication());
    ASSERT_FALSE(shownWindow("Dictaro Setup"));

    // Bounded, should the second copy run on.
    const auto said = platform::ChildProcess::output({"timeout", "20", DICTARO_EXECUTABLE});
    ASSERT_TRUE(said.has_value());
    EXPECT_EQ(*said, "Dictaro is already running; its setup window is open.\n");
    EXPECT_TRUE(waitUntil([] { return shownWindow("Dictaro Setup").has_value(); }))
        << "the running copy did not show its setup window";
    EXPECT_EQ(runningCopies(), 1u);
    EXPECT_EQ(windowsNamed(std::nullopt, "Dictaro").size(), 1u) << "not one tray icon";
}

}  // namespace
