#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/dictation/FocusTracker.h"
#include "app/dictation/Paster.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using desktoptest::clipboardAs;
using desktoptest::TargetWindow;
using desktoptest::waitUntil;

TEST(FocusTracker, NamesTheActiveApplicationAndIgnoresOurOwnWindows) {
    // One application has a desktop file that names it; the others are
    // named by their window class.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    ASSERT_NE(dataHome, nullptr);
    const std::filesystem::path applications = std::filesystem::path(dataHome) / "applications";
    std::filesystem::create_directories(applications);
    std::ofstream(applications / "org.dictaro.OtherTarget.desktop")
        << "[Desktop Entry]\nType=Application\nName=Other Editor\n[Desktop Action New]\nName=New Window\n";

    TargetWindow first(TargetWindow::withAppId("org.dictaro.TestTarget"));
    ASSERT_TRUE(first.waitUntilActive());
    FocusTracker tracker;
    // Captured at construction, before any activation arrives.
    ASSERT_TRUE(tracker.capturedApp().has_value());
    EXPECT_EQ(tracker.capturedApp()->processIdentifier, first.pid());
    EXPECT_EQ(tracker.capturedApp()->bundleIdentifier, "org.dictaro.TestTarget");
    EXPECT_EQ(tracker.capturedApp()->localizedName, "paste_target_app");

    TargetWindow own(TargetWindow::withAppId(std::string(applicationIdentifier)));
    ASSERT_TRUE(own.waitUntilActive());
    desktoptest::keepServing(200ms);
    EXPECT_EQ(tracker.capturedApp()->processIdentifier, first.pid()) << "our own window was captured";

    TargetWindow second(TargetWindow::withAppId("org.dictaro.OtherTarget"));
    ASSERT_TRUE(second.waitUntilActive());
    EXPECT_TRUE(waitUntil([&] { return tracker.capturedApp()->processIdentifier == second.pid(); }));
    EXPECT_EQ(tracker.capturedApp()->bundleIdentifier, "org.dictaro.OtherTarget");
    EXPECT_EQ(tracker.capturedApp()->localizedName, "Other Editor");
}

std::string trimmedCopy(const std::string& text) {
    const auto first = text.find_first_not_of(" \n\t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \n\t") - first + 1);
}

class PasterTest : public ::testing::Test {
protected:
    platform::clipboard::Pasteboard pasteboard;
    platform::x11::Workspace workspace;
    platform::x11::SyntheticKeys keys;
    bool trusted = true;
    Paster paster{PasteDesktop{pasteboard, workspace, keys, [this] { return trusted; }}};
};

TEST_F(PasterTest, TypesIntoTheTargetAndGivesBackTheClipboardOrLeavesTheTextThere) {
    // A terminal pastes on Ctrl+Shift+V alone: "kitty" is known as one, the
    // same window under another id is not, so it is sent Ctrl+V.
    enum class Target { normal, slow, secretClipboard, neverFetches, terminal, unknownTerminal, killed, denied, none };
    struct Case {
        const char* name;
        Target target;
        std::string text;
        PasteOutcome::Kind outcome;
        std::string messageEnd;  // for copiedOnly
    };
    const std::string inClipboard = " — your transcript is in the clipboard.";
    const Case cases[] = {
        {"pasted", Target::normal, "  Hello from the dictation.\n",
         PasteOutcome::Kind::pasted, ""},
        // Fetches long after the keystroke: the old contents must still be
        // away by then.
        {"slow target", Target::slow, "Slowly but surely.", PasteOutcome::Kind::pasted, ""},
        {"over a password", Target::secretClipboard, "not the password",
         PasteOutcome::Kind::pasted, ""},
        {"terminal chord", Target::terminal, "ls -la", PasteOutcome::Kind::pasted, ""},
        {"never fetches", Target::neverFetches, "lost?", PasteOutcome::Kind::copiedOnly,
         " didn't take the pasted text" + inClipboard},
        {"terminal given Ctrl+V", Target::unknownTerminal, "echo", PasteOutcome::Kind::copiedOnly,
         " didn't take the pasted text" + inClipboard},
        {"killed", Target::killed, "too late", PasteOutcome::Kind::copiedOnly,
         " couldn't be brought to the front" + inClipboard},
        {"deny-listed", Target::denied, "secret", PasteOutcome::Kind::copiedOnly,
         " doesn't accept pasted text" + inClipboard},
        {"no target", Target::none, "kept", PasteOutcome::Kind::noTarget, ""},
        {"only blanks", Target::normal, " \n\t ", PasteOutcome::Kind::emptyText, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The user's own clipboard, held by another program: a text and a picture.
        TargetWindow::Options ownerOptions = TargetWindow::withAppId("org.dictaro.ClipboardOwner");
        ownerOptions.ownClipboard = "the user's own words";
        ownerOptions.secretClipboard = c.target == Target::secretClipboard;
        TargetWindow owner(ownerOptions);
        ASSERT_TRUE(owner.waitUntilActive());
        const auto ownerApp = workspace.frontmostApplication();
        ASSERT_TRUE(waitUntil([] { return clipboardAs("text/plain") == "the user's own words"; }));
        const std::string picture = clipboardAs("image/png");
        ASSERT_FALSE(picture.empty());

        TargetWindow::Options options;
        if (c.target == Target::neverFetches) options.paste = "never";
        if (c.target == Target::slow) options.paste = "slow";
        if (c.target == Target::terminal || c.target == Target::unknownTerminal) options.paste = "terminal";
        if (c.target == Target::terminal) options.appId = "kitty";
        if (c.target == Target::denied) options.appId = "org.gnome.Settings";
        TargetWindow target(options);
        ASSERT_TRUE(target.waitUntilActive());
        std::optional<platform::RunningApplication> captured;
        if (c.target != Target::none) captured = workspace.frontmostApplication();
        // The user goes back to the clipboard's owner; the paste must bring
        // the target forward again.
        ASSERT_TRUE(workspace.activate(*ownerApp, 500ms));
        if (c.target == Target::killed) target.kill();

        const PasteOutcome outcome = desktoptest::whileServing([&] { return paster.paste(c.text, captured); });
        EXPECT_EQ(outcome.kind(), c.outcome);
        const std::string transcript = trimmedCopy(c.text);
        switch (c.outcome) {
        case PasteOutcome::Kind::pasted:
            EXPECT_EQ(outcome.appName(), "paste_target_app");
            EXPECT_TRUE(target.waitForText(transcript)) << target.text();
            if (c.target == Target::secretClipboard) {
                // A password is not published again by us: the clipboard is left empty.
                EXPECT_EQ(clipboardAs("text/plain"), "");
            } else {
                EXPECT_EQ(clipboardAs("text/plain"), "the user's own words");
                EXPECT_EQ(clipboardAs("image/png"), picture);
            }
            break;
        case PasteOutcome::Kind::emptyText:
            EXPECT_EQ(clipboardAs("text/plain"), "the user's own words");
            break;
        default:
            EXPECT_TRUE(outcome.message().ends_with(c.messageEnd)) << outcome.message();
            EXPECT_EQ(clipboardAs("text/plain"), transcript);
            desktoptest::keepServing(200ms);
            if (c.target != Target::killed) {
                EXPECT_EQ(target.text(), "");
            }
        }
    }
}

// A clipboard manager reads every new clipboard the moment it is taken, the
// transcript too, and some then take the clipboard over. Neither may pass for
// the target taking the text, nor keep the user's clipboard from coming back.
TEST_F(PasterTest, WithAClipboardManagerEachPasteLandsWhereReadAndGivesTheClipboardBack) {
    using Manager = desktoptest::ClipboardManager;
    for (const Manager::Kind kind : {Manager::Kind::reads, Manager::Kind::takesOver}) {
        SCOPED_TRACE(kind == Manager::Kind::reads ? "a manager that reads" : "a manager that takes over");
        Manager manager(kind);
        ASSERT_TRUE(manager.waitUntilRunning());
        TargetWindow::Options ownerOptions = TargetWindow::withAppId("org.dictaro.ClipboardOwner");
        ownerOptions.ownClipboard = "the user's own words";
        TargetWindow owner(ownerOptions);
        ASSERT_TRUE(owner.waitUntilActive());
        ASSERT_TRUE(waitUntil([&] { return manager.reads().find("the user's own words") != std::string::npos; }))
            << "the manager did not read the user's clipboard";
        if (kind == Manager::Kind::takesOver) {
            // The clipboard is the manager's now, and outlives its owner.
            owner.kill();
            ASSERT_EQ(clipboardAs("text/plain"), "the user's own words");
        }
        // Where the user works between dictations.
        TargetWindow elsewhere(TargetWindow::withAppId("org.dictaro.Elsewhere"));
        ASSERT_TRUE(elsewhere.waitUntilActive());
        const auto elsewhereApp = workspace.frontmostApplication();

        struct Target {
            std::string paste;  // the editor's paste mode
            PasteOutcome::Kind outcome;
            std::unique_ptr<TargetWindow> window;
            std::optional<platform::RunningApplication> app;
            std::string received;
        };
        Target targets[] = {{"standard", PasteOutcome::Kind::pasted, {}, {}, {}},
                            {"slow", PasteOutcome::Kind::pasted, {}, {}, {}},
                            {"never", PasteOutcome::Kind::copiedOnly, {}, {}, {}}};
        for (Target& target : targets) {
            TargetWindow::Options options;
            options.paste = target.paste;
            target.window = std::make_unique<TargetWindow>(options);
            ASSERT_TRUE(target.window->waitUntilActive());
            target.app = workspace.frontmostApplication();
        }
        for (int paste = 1; paste <= 20; ++paste) {
            Target& target = targets[(paste - 1) % 3];
            SCOPED_TRACE("paste " + std::to_string(paste) + " into the " + target.paste + " target");
            ASSERT_TRUE(workspace.activate(*elsewhereApp, 500ms));
            const std::string before = clipboardAs("text/plain");
            const std::string picture = clipboardAs("image/png");
            const std::string text = "Dictation number " + std::to_string(paste) + ".";
            const PasteOutcome outcome = desktoptest::whileServing([&] { return paster.paste(text, target.app); });
            EXPECT_EQ(outcome.kind(), target.outcome) << outcome.message();
            if (target.outcome == PasteOutcome::Kind::pasted) {
                target.received += text;
                EXPECT_TRUE(target.window->waitForText(target.received)) << target.window->text();
                EXPECT_EQ(clipboardAs("text/plain"), before);
                EXPECT_EQ(clipboardAs("image/png"), picture);
            } else {
                EXPECT_EQ(clipboardAs("text/plain"), text);
                EXPECT_EQ(target.window->text(), "");
            }
        }
    }
}

TEST_F(PasterTest, WithoutAccessibilityLeavesTheTrimmedTextAndTypesNothing) {
    TargetWindow target(TargetWindow::Options{});
    ASSERT_TRUE(target.waitUntilActive());
    trusted = false;
    const auto captured = workspace.frontmostApplication();
    const PasteOutcome outcome = desktoptest::whileServing([&] { return paster.paste("\n typed? \n", captured); });
    EXPECT_EQ(outcome, PasteOutcome::accessibilityMissing());
    EXPECT_EQ(clipboardAs("text/plain"), "typed?");
    desktoptest::keepServing(300ms);
    EXPECT_EQ(target.text(), "");
}

}  // namespace
}  // namespace dictaro
