#pragma once

#include <array>
#include <vector>

#include "app/ui/PanelGeometry.h"

namespace dictaro {

// The level meter's numbers: 22 bars that ease toward the newest audio
// levels, and where each bar is drawn in a band of a given size.
class WaveformLevels {
public:
    static constexpr int barCount = 22;
    static constexpr double barWidth = 5;
    static constexpr double cornerRadius = 2.5;
    static constexpr double minBarHeight = 3;
    static constexpr double gain = 4;
    static constexpr double easeFactor = 0.28;

    // One frame: the last 22 samples (oldest first) become the targets, the
    // newest under the rightmost bar, and each bar covers 28 % of the way.
    void tick(const std::vector<float>& samples);
    void reset() { levels_.fill(0); }
    const std::array<double, barCount>& levels() const { return levels_; }

    // The bars' rectangles in a band of that size, left to right; none when
    // the band is empty.
    static std::vector<PanelRect> bars(const std::array<double, barCount>& levels, double width, double height);

private:
    std::array<double, barCount> levels_{};
};

}  // namespace dictaro
