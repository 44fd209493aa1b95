#include "app/ui/TranscriptPanel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include "app/ui/TranscriptViewController.h"
#include "app/ui/WaveformView.h"
#include "platform/process/ChildProcess.h"
#include "platform/settings/UserDefaults.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/support/Screenshots.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using desktoptest::keepServing;
using desktoptest::waitUntil;
using desktoptest::xdotool;

const PasteTarget editor{"Kate", ContextProfile::Kind::code, std::nullopt};

struct Panel {
    testsupport::TempDirectory dir;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(dir.path() / "settings.json");
    std::optional<TranscriptPanel> panel{std::in_place, defaults};

    void show() {
        panel->showAtPersistedPosition();
        ASSERT_TRUE(waitUntil([&] { return panel->isVisible() && panel->windowOpacity() == 1.0; }));
        keepServing(std::chrono::milliseconds(200));  // the window manager places it
    }

    std::optional<double> saved(const char* key) const {
        const auto value = platform::UserDefaults(defaults->file()).object(key);
        return value && value->number() ? std::optional(value->number()->doubleValue()) : std::nullopt;
    }
};

std::string activeWindow() {
    return platform::ChildProcess::output({"xprop", "-root", "_NET_ACTIVE_WINDOW"}).value_or("");
}

std::string hex(WId id) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(id));
    return text;
}

// Presses at a point of the panel, moves by (dx, dy) and lets go, through the X server.
void dragFrom(const QRect& frame, QPoint inPanel, QPoint by) {
    const QPoint start = frame.topLeft() + inPanel;
    xdotool({"mousemove", std::to_string(start.x()), std::to_string(start.y())});
    keepServing(std::chrono::milliseconds(50));
    xdotool({"mousedown", "1"});
    keepServing(std::chrono::milliseconds(50));
    // Two steps, so that the pointer is seen moving with the button held.
    xdotool({"mousemove", std::to_string(start.x() + by.x() / 2), std::to_string(start.y() + by.y() / 2)});
    keepServing(std::chrono::milliseconds(50));
    xdotool({"mousemove", std::to_string(start.x() + by.x()), std::to_string(start.y() + by.y())});
    keepServing(std::chrono::milliseconds(100));
    xdotool({"mouseup", "1"});
    keepServing(std::chrono::milliseconds(200));
}

TEST(TranscriptPanelTest, NeverTakesTheFocusWhileShownUpdatedAndDragged) {
    desktoptest::TargetWindow target({});
    ASSERT_TRUE(target.waitUntilActive());
    const std::string targetActive = activeWindow();

    Panel panel;
    panel.show();
    for (const char* text : {"", "one", "one two", "one two three"}) {
        panel.panel->render(TranscriptDisplay::listening(text, editor));
        keepServing(std::chrono::milliseconds(30));
    }
    const QRect before = panel.panel->geometry();
    dragFrom(before, {200, 48}, {-120, -60});

    EXPECT_EQ(panel.panel->geometry().topLeft(), before.topLeft() + QPoint(-120, -60)) << "moved by its background";
    EXPECT_EQ(panel.saved("TranscriptPanelPositionX"), before.x() - 120);
    EXPECT_EQ(panel.saved("TranscriptPanelPositionY"), before.y() - 60);
    EXPECT_FALSE(panel.panel->isActiveWindow());
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    EXPECT_EQ(activeWindow(), targetActive);
    EXPECT_EQ(activeWindow().find(hex(panel.panel->winId())), std::string::npos);
    EXPECT_TRUE(target.waitUntilActive());
}

TEST(TranscriptPanelTest, EachControlButtonClickedThroughTheServerRunsItsOwnAction) {
    Panel panel;
    TranscriptViewController& view = panel.panel->transcriptView();
    std::vector<std::string> ran;
    view.onTogglePause = [&] { ran.push_back("pause"); };
    view.onRestart = [&] { ran.push_back("restart"); };
    view.onCancel = [&] { ran.push_back("cancel"); };
    panel.show();
    panel.panel->render(TranscriptDisplay::listening("one two", editor));
    keepServing(std::chrono::milliseconds(100));
    for (const char* name : {"Pause", "Start over · R", "Cancel · ESC"}) {
        QAbstractButton* button = nullptr;
        for (QAbstractButton* candidate : view.findChildren<QAbstractButton*>()) {
            if (candidate->accessibleName() == QString::fromUtf8(name)) button = candidate;
        }
        ASSERT_NE(button, nullptr) << name;
        const QPoint centre = button->mapToGlobal(button->rect().center());
        xdotool({"mousemove", std::to_string(centre.x()), std::to_string(centre.y())});
        keepServing(std::chrono::milliseconds(50));
        xdotool({"click", "1"});
        keepServing(std::chrono::milliseconds(150));
    }
    EXPECT_EQ(ran, (std::vector<std::string>{"pause", "restart", "cancel"}));
    EXPECT_FALSE(panel.saved("TranscriptPanelPositionX")) << "a click on a button is no move";
}

TEST(TranscriptPanelTest, TheStatusLineIsShownWholeWhereItFitsAndEndsInAnEllipsisWhereNot) {
    const QString practiceDone = QString::fromUtf8("✨ PRACTICE COMPLETE · SUPER+ALT+M TO DICTATE FOR REAL · ESC TO FINISH");
    const QString listening = QString::fromUtf8("LISTENING · ENTER TO STOP · SPACE PAUSE · ESC CANCEL");
    struct Case {
        const char* name;
        double width;
        TranscriptDisplay display;
        bool renderedBeforeShown;
        QString whole;
        bool fits;
    };
    const Case cases[] = {
        {"after practice, at the default width", 640, TranscriptDisplay::practiceResult("Hi there."), false,
         practiceDone, true},
        {"after practice, on the narrowest panel", 360, TranscriptDisplay::practiceResult("Hi there."), false,
         practiceDone, false},
        {"listening, beside the buttons", 640, TranscriptDisplay::listening("Hi there.", std::nullopt), false,
         listening, true},
        {"listening, rendered before the panel shows", 640, TranscriptDisplay::listening("Hi there.", std::nullopt),
         true, listening, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Panel panel;
        panel.defaults->set("TranscriptPanelWidth", platform::JSONNumber::doubleFloat(c.width));
        panel.panel.emplace(panel.defaults);
        if (c.renderedBeforeShown) panel.panel->render(c.display);
        panel.show();
        if (!c.renderedBeforeShown) panel.panel->render(c.display);
        const QLabel* status = panel.panel->transcriptView().findChild<QLabel*>(QString(), Qt::FindDirectChildrenOnly);
        ASSERT_NE(status, nullptr);
        const QString shown = status->text();
        EXPECT_LE(status->fontMetrics().horizontalAdvance(shown), status->width()) << "cut off: " << shown.toStdString();
        EXPECT_LE(status->geometry().right(), panel.panel->width() - 18) << "past the panel's margin";
        if (c.fits) {
            EXPECT_EQ(shown.toStdString(), c.whole.toStdString());
        } else {
            EXPECT_TRUE(shown.endsWith(QString::fromUtf8("…"))) << shown.toStdString();
            EXPECT_TRUE(c.whole.startsWith(shown.chopped(1))) << shown.toStdString();
            testsupport::expectLooksLike(panel.panel->grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR,
                                         "panel-practice-result-narrow");
        }
    }
}

// The test session's one X screen shown on two monitors side by side, each
// 960 x 1080, for as long as this lives.
class TwoMonitors {
public:
    TwoMonitors() {
        // The left one takes over the server's output, so only these two remain.
        EXPECT_TRUE(xrandr({"--setmonitor", "dictaro-left", "960/254x1080/286+0+0", "screen"}));
        EXPECT_TRUE(xrandr({"--setmonitor", "dictaro-right", "960/254x1080/286+960+0", "none"}));
        EXPECT_TRUE(waitUntil([] { return QGuiApplication::screens().size() == 2; })) << "the toolkit sees one screen";
    }
    ~TwoMonitors() {
        xrandr({"--delmonitor", "dictaro-right"});
        xrandr({"--delmonitor", "dictaro-left"});
        EXPECT_TRUE(waitUntil([] { return QGuiApplication::screens().size() == 1; }));
    }
    TwoMonitors(const TwoMonitors&) = delete;
    TwoMonitors& operator=(const TwoMonitors&) = delete;

private:
    static bool xrandr(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "xrandr");
        return platform::ChildProcess::output(arguments).has_value();
    }
};

std::string text(const QRect& frame) {
    return std::to_string(frame.width()) + "x" + std::to_string(frame.height()) + "+" + std::to_string(frame.x()) +
           "+" + std::to_string(frame.y());
}

TEST(TranscriptPanelTest, OpensOnTheMonitorOfTheFocusedWindowElseOfThePointer) {
    TwoMonitors monitors;
    // At the default spot of a 960 x 1080 monitor: centred, 15 % of its height up.
    const QPoint onLeft(480 - 320, 1080 - 162 - 360);
    const QPoint onRight(960 + 480 - 320, 1080 - 162 - 360);
    struct Case {
        const char* name;
        std::optional<QPoint> focusedWindowAt;  // none: no window has the focus
        QPoint pointer;
        QPoint panelAt;
    };
    const Case cases[] = {
        {"focused window on the right, pointer on the left", QPoint(1200, 200), {100, 100}, onRight},
        {"focused window on the left, pointer on the right", QPoint(100, 200), {1500, 500}, onLeft},
        {"no focused window, pointer on the right", std::nullopt, {1500, 500}, onRight},
        {"no focused window, pointer on the left", std::nullopt, {300, 900}, onLeft},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<desktoptest::TargetWindow> target;
        if (c.focusedWindowAt) {
            target.emplace(desktoptest::TargetWindow::Options{});
            ASSERT_TRUE(target->waitUntilActive());
            const std::string window = std::to_string(platform::x11::Workspace().frontmostApplication()->window);
            xdotool({"windowmove", "--sync", window, std::to_string(c.focusedWindowAt->x()),
                     std::to_string(c.focusedWindowAt->y())});
        } else {
            ASSERT_TRUE(waitUntil([] { return !platform::x11::Workspace().frontmostApplication(); }))
                << "a window still has the focus";
        }
        xdotool({"mousemove", std::to_string(c.pointer.x()), std::to_string(c.pointer.y())});
        Panel panel;
        panel.panel->render(TranscriptDisplay::listening("Dictated on this monitor.", editor));
        panel.show();
        EXPECT_EQ(text(panel.panel->geometry()), text(QRect(c.panelAt, QSize(640, 360))));
        if (c.panelAt == onRight && !c.focusedWindowAt) {
            // For a person to look at: the geometry above is the check.
            std::filesystem::create_directories(SCREENSHOT_DIR);
            const QImage shot = panel.panel->screen()->grabWindow(0).toImage();
            EXPECT_EQ(shot.size(), QSize(960, 1080)) << "the right monitor alone";
            EXPECT_TRUE(shot.save(QString(SCREENSHOT_DIR) + "/panel-on-second-monitor.png"));
        }
    }
}

TEST(TranscriptPanelTest, ADictationStartedWhileThePanelFadesOutKeepsItShown) {
    Panel panel;
    panel.show();
    panel.panel->dismiss();
    keepServing(std::chrono::milliseconds(50));
    // What the controller does for a new dictation.
    if (!panel.panel->isVisible()) panel.panel->showAtPersistedPosition();
    keepServing(std::chrono::milliseconds(400));
    EXPECT_TRUE(panel.panel->QWidget::isVisible());
    EXPECT_EQ(panel.panel->windowOpacity(), 1.0);
}

TEST(TranscriptPanelTest, ResizesFromEachEdgeSavesOnReleaseAndComesBackThere) {
    struct Case {
        const char* name;
        QPoint pressAt;  // in the panel, given its 640 x 360 size
        QPoint by;
        QRect change;  // added to the frame: x, y, width, height
        const char* savedKey;
        int savedValue;
    };
    const Case cases[] = {
        {"left", {2, 180}, {80, 0}, {80, 0, -80, 0}, "TranscriptPanelWidth", 560},
        {"right", {637, 180}, {60, 0}, {0, 0, 60, 0}, "TranscriptPanelWidth", 700},
        {"top", {320, 2}, {0, -40}, {0, -40, 0, 40}, "TranscriptPanelHeight", 400},
        {"bottom", {320, 357}, {0, -100}, {0, 0, 0, -100}, "TranscriptPanelHeight", 260},
    };
    for (const Case& c : cases) {
        Panel panel;
        panel.show();
        panel.panel->render(TranscriptDisplay::ready());
        const QRect before = panel.panel->geometry();
        ASSERT_EQ(before.size(), QSize(640, 360)) << c.name;
        dragFrom(before, c.pressAt, c.by);
        const QRect expected(before.x() + c.change.x(), before.y() + c.change.y(), 640 + c.change.width(),
                             360 + c.change.height());
        EXPECT_EQ(panel.panel->geometry(), expected) << c.name;
        EXPECT_EQ(panel.saved(c.savedKey), c.savedValue) << c.name;
        EXPECT_FALSE(panel.defaults->boolean("TranscriptPanelHasCustomPosition")) << c.name;

        panel.panel.reset();
        panel.panel.emplace(panel.defaults);
        panel.show();
        EXPECT_EQ(panel.panel->size(), expected.size()) << c.name << ": the next panel keeps the size";
    }
}

TEST(TranscriptPanelTest, KeepsOnePulseAndOneMeterTimerAcrossRendersAndFlattensAfterwards) {
    Panel panel;
    TranscriptViewController& view = panel.panel->transcriptView();
    int levelCalls = 0;
    view.audioLevelsProvider = [&] {
        ++levelCalls;
        return std::vector<float>(22, 0.2f);
    };
    panel.show();
    for (int i = 0; i < 5; ++i) panel.panel->render(TranscriptDisplay::listening("text", editor));
    EXPECT_TRUE(view.isIndicatorPulsing());
    EXPECT_TRUE(view.waveform().isAnimating());
    keepServing(std::chrono::milliseconds(300));
    EXPECT_GT(view.waveform().levels().levels()[21], 0.1) << "the meter follows the levels";
    EXPECT_LT(levelCalls, 40) << "one timer at 60 Hz, not one per render";

    panel.panel->render(TranscriptDisplay::paused("text", editor));
    EXPECT_FALSE(view.isIndicatorPulsing());
    EXPECT_TRUE(view.waveform().isAnimating()) << "paused keeps the meter running";

    panel.panel->render(TranscriptDisplay::tutorial(TutorialStep::restart));
    EXPECT_FALSE(view.waveform().isAnimating());
    for (double level : view.waveform().levels().levels()) EXPECT_EQ(level, 0);
    EXPECT_TRUE(view.isCalloutPulsing(TutorialStep::restart));
    EXPECT_FALSE(view.isCalloutPulsing(TutorialStep::pause));
    EXPECT_FALSE(view.isCalloutPulsing(TutorialStep::cancel));

    panel.panel->render(TranscriptDisplay::ready());
    EXPECT_FALSE(view.isCalloutPulsing(TutorialStep::restart));
    EXPECT_EQ(view.transcriptText().toStdString(), "Press Super+Alt+M to start dictating.");

    panel.panel->dismiss();
    ASSERT_TRUE(waitUntil([&] { return !panel.panel->QWidget::isVisible(); }));
    EXPECT_EQ(panel.panel->windowOpacity(), 1.0);
}

TEST(TranscriptPanelTest, LooksAsItShouldInEachState) {
    const PasteTarget mail{"Thunderbird", ContextProfile::Kind::email, std::string("Reply to Anna")};
    const std::string dictated = "Hi Anna, thanks for the notes. I'll send the draft on Friday.";
    const std::pair<const char*, TranscriptDisplay> states[] = {
        {"loading", TranscriptDisplay::loading()},
        {"ready", TranscriptDisplay::ready()},
        {"practice-intro", TranscriptDisplay::practiceIntro()},
        {"listening", TranscriptDisplay::listening(dictated, editor)},
        {"listening-empty", TranscriptDisplay::listening("", std::nullopt)},
        {"paused", TranscriptDisplay::paused(dictated, mail)},
        {"formatting", TranscriptDisplay::formatting("", mail)},
        {"copied", TranscriptDisplay::copied("Couldn't paste into Kate. Press Ctrl+V to paste it yourself.")},
        {"error", TranscriptDisplay::error("No microphone is available.")},
        {"tutorial-pause", TranscriptDisplay::tutorial(TutorialStep::pause)},
        {"tutorial-restart", TranscriptDisplay::tutorial(TutorialStep::restart)},
        {"tutorial-cancel", TranscriptDisplay::tutorial(TutorialStep::cancel)},
        {"practice-result", TranscriptDisplay::practiceResult(dictated)},
    };
    Panel panel;
    TranscriptViewController& view = panel.panel->transcriptView();
    // A fixed rising ramp, so the meter looks the same in every run once eased in.
    view.audioLevelsProvider = [] {
        std::vector<float> levels;
        for (int i = 0; i < 22; ++i) levels.push_back(0.012f * static_cast<float>(i));
        return levels;
    };
    panel.show();
    for (const auto& [name, display] : states) {
        panel.panel->render(display);
        for (int frame = 0; frame < 40; ++frame) view.waveform().tick();
        testsupport::expectLooksLike(panel.panel->grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR,
                                     std::string("panel-") + name);
    }
}

}  // namespace
}  // namespace dictaro
