#include "platform/accessibility/Accessibility.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>

#include "app/dictation/AtspiAccessibilityReader.h"
#include "app/dictation/PasteTarget.h"
#include "app/formatting/ContextProbe.h"
#include "platform/process/ChildProcess.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"

namespace platform::accessibility {
namespace {

using desktoptest::TargetWindow;

// A private session bus for this process and the programs it starts; the
// accessibility bus is started on it by activation.
class PrivateSessionBus {
public:
    PrivateSessionBus() {
        const auto printed = ChildProcess::output(
            {"dbus-daemon", "--session", "--fork", "--print-address=1", "--print-pid=1"});
        std::istringstream lines(printed.value_or(""));
        std::string address;
        std::getline(lines, address);
        lines >> pid_;
        if (!address.empty()) ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
        started_ = !address.empty() && pid_ > 0;
    }
    ~PrivateSessionBus() {
        if (pid_ > 0) ::kill(pid_, SIGTERM);
    }
    bool started() const { return started_; }

private:
    pid_t pid_ = 0;
    bool started_ = false;
};

TEST(Accessibility, TrustFollowsTheSessionSwitchAndTheFocusedFieldIsRead) {
    PrivateSessionBus bus;
    ASSERT_TRUE(bus.started()) << "dbus-daemon did not start";
    EXPECT_FALSE(isProcessTrusted()) << "toolkit accessibility is off in a new session";
    ASSERT_TRUE(enableAccessibility());
    EXPECT_TRUE(isProcessTrusted());

    TargetWindow::Options options;
    options.extra = {{"--field-name", "Message body"},
                     {"--field-description", "What you want to say"}};
    TargetWindow target(options);
    ASSERT_TRUE(target.waitUntilActive());
    std::optional<FocusedElementText> field;
    EXPECT_TRUE(desktoptest::waitUntil([&] { return (field = focusedElement(target.pid())).has_value(); }));
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->title, "Message body");
    EXPECT_EQ(field->description, "What you want to say");
    EXPECT_FALSE(focusedElement(999'999).has_value()) << "no such process";

    // What the panel and the prompt are told about the field.
    dictaro::ContextProbe probe(std::make_shared<dictaro::AtspiAccessibilityReader>());
    const auto application = x11::Workspace().frontmostApplication();
    const dictaro::ContextProfile profile = probe.detect(application);
    EXPECT_EQ(dictaro::PasteTarget::from(profile),
              (dictaro::PasteTarget{"paste_target_app", dictaro::ContextProfile::Kind::generic, "What you want to say"}));
    EXPECT_EQ(dictaro::PasteTarget::from(probe.detect(std::nullopt)),
              (dictaro::PasteTarget{"the focused app", dictaro::ContextProfile::Kind::generic, std::nullopt}));
}

}  // namespace
}  // namespace platform::accessibility
