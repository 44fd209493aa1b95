#include "app/ui/WaveformLevels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <vector>

namespace dictaro {
namespace {

TEST(WaveformLevelsTest, EasesEachBarTowardTheNewestSamplesRightAligned) {
    struct Case {
        const char* name;
        std::vector<float> samples;
        // Target of each bar after the ease: bar i gets 0.28 of it from flat.
        std::vector<double> targets;
    };
    std::vector<float> hundred(100);
    std::iota(hundred.begin(), hundred.end(), 0.0f);
    std::vector<double> lastTwentyTwo(22);
    std::iota(lastTwentyTwo.begin(), lastTwentyTwo.end(), 78.0);
    std::vector<double> fiveRight(22, 0.0);
    for (int i = 0; i < 5; ++i) fiveRight[17 + static_cast<std::size_t>(i)] = 0.1 * (i + 1);
    const Case cases[] = {
        {"silence", {}, std::vector<double>(22, 0.0)},
        {"five values fill the rightmost five bars", {0.1f, 0.2f, 0.3f, 0.4f, 0.5f}, fiveRight},
        {"a hundred values: only the last 22", hundred, lastTwentyTwo},
    };
    for (const Case& c : cases) {
        WaveformLevels levels;
        levels.tick(c.samples);
        for (std::size_t bar = 0; bar < 22; ++bar) {
            EXPECT_NEAR(levels.levels()[bar], c.targets[bar] * 0.28, 1e-6) << c.name << " bar " << bar;
        }
    }
}

TEST(WaveformLevelsTest, DecaysBy072PerSilentFrameAndResetsFlat) {
    WaveformLevels levels;
    levels.tick(std::vector<float>(22, 1.0f));
    levels.tick({});
    levels.tick({});
    EXPECT_NEAR(levels.levels()[0], 0.28 * 0.72 * 0.72, 1e-9);
    levels.reset();
    for (double level : levels.levels()) EXPECT_EQ(level, 0);
}

TEST(WaveformLevelsTest, SpreadsTheBarsAcrossTheBandAndScalesTheirHeight) {
    std::array<double, 22> levels{};
    levels[0] = 0.3;    // 0.3 x 4 is clamped to the full height
    levels[1] = -0.5;   // negative draws the minimum
    levels[2] = 0.125;  // half height
    const auto bars = WaveformLevels::bars(levels, 600, 28);
    ASSERT_EQ(bars.size(), 22u);
    const double pitch = 5 + 490.0 / 21;
    EXPECT_EQ(bars[0], (PanelRect{0, 0, 5, 28}));
    EXPECT_EQ(bars[1], (PanelRect{pitch, 12.5, 5, 3}));
    EXPECT_EQ(bars[2], (PanelRect{2 * pitch, 7, 5, 14}));
    EXPECT_NEAR(bars[21].maxX(), 600, 1e-9) << "the last bar ends at the band's right edge";

    const auto narrow = WaveformLevels::bars(levels, 80, 28);
    EXPECT_EQ(narrow[21].x, 105) << "below 110 wide the bars touch";
    EXPECT_TRUE(WaveformLevels::bars(levels, 0, 28).empty());
    EXPECT_TRUE(WaveformLevels::bars(levels, 600, 0).empty());
}

}  // namespace
}  // namespace dictaro
