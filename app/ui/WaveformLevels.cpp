#include "app/ui/WaveformLevels.h"

#include <algorithm>
#include <cstddef>

namespace dictaro {

void WaveformLevels::tick(const std::vector<float>& samples) {
    const std::size_t used = std::min<std::size_t>(samples.size(), barCount);
    const std::size_t firstSample = samples.size() - used;
    const std::size_t firstBar = barCount - used;
    for (std::size_t bar = 0; bar < barCount; ++bar) {
        const double target = bar < firstBar ? 0.0 : static_cast<double>(samples[firstSample + bar - firstBar]);
        levels_[bar] += (target - levels_[bar]) * easeFactor;
    }
}

std::vector<PanelRect> WaveformLevels::bars(const std::array<double, barCount>& levels, double width,
                                            double height) {
    if (width <= 0 || height <= 0) return {};
    const double pitch = barWidth + std::max(0.0, width - barCount * barWidth) / (barCount - 1);
    std::vector<PanelRect> rects;
    rects.reserve(barCount);
    for (int bar = 0; bar < barCount; ++bar) {
        const double fill = std::min(std::max(levels[static_cast<std::size_t>(bar)] * gain, 0.0), 1.0);
        const double barHeight = std::max(minBarHeight, height * fill);
        rects.push_back({pitch * bar, (height - barHeight) / 2, barWidth, barHeight});
    }
    return rects;
}

}  // namespace dictaro
