#pragma once

#include <functional>
#include <vector>

#include <QTimer>
#include <QWidget>

#include "app/ui/WaveformLevels.h"

namespace dictaro {

// The live level meter under the status line: 22 bars in the accent colour
// that follow the recent audio levels at 60 frames a second.
class WaveformView : public QWidget {
public:
    using LevelsProvider = std::function<std::vector<float>()>;

    explicit WaveformView(QWidget* parent = nullptr);

    // Keeps one timer running; a second call only swaps the provider.
    void startAnimating(LevelsProvider provider);
    // Stops the timer, drops the provider and flattens the bars.
    void reset();

    bool isAnimating() const { return timer_.isActive(); }
    const WaveformLevels& levels() const { return levels_; }
    void tick();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    WaveformLevels levels_;
    LevelsProvider provider_;
    QTimer timer_;
};

}  // namespace dictaro
