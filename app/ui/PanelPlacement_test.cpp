#include "app/ui/PanelPlacement.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/settings/UserDefaults.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using platform::JSONNumber;
using platform::UserDefaults;

constexpr PanelRect screen1440{0, 0, 1440, 900};

struct Placement {
    testsupport::TempDirectory dir;
    std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir.path() / "settings.json");

    std::optional<double> number(const char* key) const {
        const auto value = UserDefaults(defaults->file()).object(key);
        return value && value->number() ? std::optional(value->number()->doubleValue()) : std::nullopt;
    }
};

TEST(PanelPlacementTest, SizesAndPlacesThePanelForEachScreenAndSavedValue) {
    struct Case {
        const char* name;
        std::optional<double> savedWidth;
        std::optional<double> savedHeight;
        PanelRect screen;
        PanelRect expected;
    };
    const Case cases[] = {
        // Centred, bottom edge 15 % of the height above the bottom (y grows downward).
        {"nothing saved", {}, {}, screen1440, {400, 405, 640, 360}},
        {"zero and negative sizes mean the defaults", 0.0, -5.0, screen1440, {400, 405, 640, 360}},
        {"too wide for the screen", 2000.0, 360.0, screen1440, {50, 405, 1340, 360}},
        {"screen too small: the minimum wins", 2000.0, 1000.0, {0, 0, 400, 200}, {20, 30, 360, 140}},
        {"below the minimum", 100.0, 50.0, screen1440, {540, 625, 360, 140}},
        {"screen not at the origin", {}, {}, {1920, 40, 1440, 900}, {2320, 445, 640, 360}},
    };
    for (const Case& c : cases) {
        Placement placement;
        if (c.savedWidth) placement.defaults->set("TranscriptPanelWidth", JSONNumber::doubleFloat(*c.savedWidth));
        if (c.savedHeight) placement.defaults->set("TranscriptPanelHeight", JSONNumber::doubleFloat(*c.savedHeight));
        PanelPlacement panel(placement.defaults);
        EXPECT_EQ(panel.frameForShow(c.screen), c.expected) << c.name;
    }
}

TEST(PanelPlacementTest, UsesASavedSpotOnlyWhileAtLeast100By50OfItIsOnScreen) {
    struct Case {
        const char* name;
        double x;
        double y;
        bool kept;
    };
    const Case cases[] = {
        {"fully on screen", 100, 100, true},
        {"100 wide on screen at the right", 1340, 100, true},
        {"99 wide on screen at the right", 1341, 100, false},
        {"99 wide on screen at the left", -541, 100, false},
        {"50 high on screen at the bottom", 100, 850, true},
        {"49 high on screen at the bottom", 100, 851, false},
        {"49 high on screen at the top", 100, -311, false},
    };
    for (const Case& c : cases) {
        Placement placement;
        placement.defaults->set({{"TranscriptPanelHasCustomPosition", JSONNumber::boolean(true)},
                                 {"TranscriptPanelPositionX", JSONNumber::doubleFloat(c.x)},
                                 {"TranscriptPanelPositionY", JSONNumber::doubleFloat(c.y)}});
        PanelPlacement panel(placement.defaults);
        const PanelRect frame = panel.frameForShow(screen1440);
        if (c.kept) {
            EXPECT_EQ(frame, (PanelRect{c.x, c.y, 640, 360})) << c.name;
            EXPECT_EQ(placement.defaults->boolean("TranscriptPanelHasCustomPosition"), true) << c.name;
        } else {
            EXPECT_EQ(frame, (PanelRect{400, 405, 640, 360})) << c.name;
            EXPECT_EQ(UserDefaults(placement.defaults->file()).boolean("TranscriptPanelHasCustomPosition"), false)
                << c.name;
            EXPECT_FALSE(placement.number("TranscriptPanelPositionX")) << c.name;
            EXPECT_FALSE(placement.number("TranscriptPanelPositionY")) << c.name;
        }
    }
}

TEST(PanelPlacementTest, ResizesFromEachEdgeAndSavesOnlyThatDimensionOnRelease) {
    const PanelRect start{400, 405, 640, 360};
    struct Case {
        const char* name;
        PanelPoint pressInPanel;
        PanelPoint moveBy;
        PanelRect expected;
        const char* savedKey;
        const char* unsavedKey;
        PanelRect screen = screen1440;
    };
    const Case cases[] = {
        {"left edge to the right stops at the minimum, right edge put", {3, 100}, {500, 0}, {680, 405, 360, 360},
         "TranscriptPanelWidth", "TranscriptPanelHeight"},
        {"right edge to the right grows", {637, 100}, {60, 30}, {400, 405, 700, 360}, "TranscriptPanelWidth",
         "TranscriptPanelHeight"},
        {"right edge is capped 100 short of the screen", {637, 100}, {2000, 0}, {400, 405, 1340, 360},
         "TranscriptPanelWidth", "TranscriptPanelHeight"},
        {"bottom edge down grows downward, top put", {300, 357}, {0, 40}, {400, 405, 640, 400},
         "TranscriptPanelHeight", "TranscriptPanelWidth"},
        {"top edge down shrinks to the minimum, bottom put", {300, 2}, {0, 400}, {400, 625, 640, 140},
         "TranscriptPanelHeight", "TranscriptPanelWidth"},
        {"corner 6 from left and bottom resizes horizontally", {6, 354}, {-40, 40}, {360, 405, 680, 360},
         "TranscriptPanelWidth", "TranscriptPanelHeight"},
        {"a click on an edge without moving saves the unchanged width", {639, 200}, {0, 0}, {400, 405, 640, 360},
         "TranscriptPanelWidth", "TranscriptPanelHeight"},
        {"on a screen narrower than the minimum the screen wins", {637, 100}, {0, 0}, {400, 405, 300, 360},
         "TranscriptPanelWidth", "TranscriptPanelHeight", {0, 0, 400, 900}},
    };
    for (const Case& c : cases) {
        Placement placement;
        PanelPlacement panel(placement.defaults);
        const PanelPoint pressed{start.x + c.pressInPanel.x, start.y + c.pressInPanel.y};
        ASSERT_TRUE(panel.press(c.pressInPanel, pressed, start, false)) << c.name;
        const auto frame = panel.drag({pressed.x + c.moveBy.x, pressed.y + c.moveBy.y}, c.screen);
        ASSERT_TRUE(frame) << c.name;
        EXPECT_EQ(*frame, c.expected) << c.name;
        EXPECT_FALSE(placement.number(c.savedKey)) << c.name << ": nothing is saved before release";
        EXPECT_TRUE(panel.release(*frame)) << c.name;
        const bool horizontal = std::string(c.savedKey) == "TranscriptPanelWidth";
        EXPECT_EQ(placement.number(c.savedKey), horizontal ? c.expected.width : c.expected.height) << c.name;
        EXPECT_FALSE(placement.number(c.unsavedKey)) << c.name;
        EXPECT_FALSE(placement.defaults->boolean("TranscriptPanelHasCustomPosition")) << c.name;
        EXPECT_EQ(PanelPlacement(placement.defaults).size(),
                  (PanelSize{horizontal ? c.expected.width : 640, horizontal ? 360 : c.expected.height}))
            << c.name << ": the next panel starts at the saved size";
    }
}

TEST(PanelPlacementTest, MovesByTheBackgroundAndRestoresTheSpotOnTheNextShow) {
    Placement placement;
    PanelPlacement panel(placement.defaults);
    const PanelRect start = panel.frameForShow(screen1440);

    EXPECT_FALSE(panel.press({300, 100}, {700, 505}, start, false)) << "a press on a control passes on";
    EXPECT_FALSE(panel.drag({720, 505}, screen1440));
    EXPECT_FALSE(panel.release(start));

    ASSERT_TRUE(panel.press({300, 100}, {700, 505}, start, true));
    const auto moved = panel.drag({500, 205}, screen1440);
    ASSERT_TRUE(moved);
    EXPECT_EQ(*moved, (PanelRect{200, 105, 640, 360}));
    EXPECT_FALSE(placement.defaults->boolean("TranscriptPanelHasCustomPosition"));
    EXPECT_TRUE(panel.release(*moved));
    EXPECT_FALSE(placement.number("TranscriptPanelWidth")) << "a move saves no size";

    EXPECT_EQ(PanelPlacement(placement.defaults).frameForShow(screen1440), *moved);
}

TEST(PanelPlacementTest, KeepsWorkingWhenTheSettingsCannotBeWritten) {
    Placement placement;
    std::filesystem::create_directories(placement.defaults->file());  // a folder where the file should be
    PanelPlacement panel(placement.defaults);
    const PanelRect start{400, 405, 640, 360};
    ASSERT_TRUE(panel.press({637, 100}, {1037, 505}, start, false));
    const auto frame = panel.drag({1097, 505}, screen1440);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(panel.release(*frame));
    EXPECT_EQ(panel.size(), (PanelSize{700, 360}));
    EXPECT_FALSE(panel.isTracking());
}

}  // namespace
}  // namespace dictaro
