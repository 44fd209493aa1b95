#pragma once

#include <optional>

namespace dictaro {

// Screen rectangles in the toolkit's coordinates: origin at the top left,
// y growing downward.
struct PanelPoint {
    double x = 0;
    double y = 0;
    friend bool operator==(const PanelPoint&, const PanelPoint&) = default;
};

struct PanelSize {
    double width = 0;
    double height = 0;
    friend bool operator==(const PanelSize&, const PanelSize&) = default;
};

struct PanelRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double maxX() const { return x + width; }
    double maxY() const { return y + height; }
    PanelPoint origin() const { return {x, y}; }
    PanelSize size() const { return {width, height}; }
    friend bool operator==(const PanelRect&, const PanelRect&) = default;
};

enum class ResizeEdge { left, right, top, bottom };

// The rules that size and place the transcript panel.
namespace panel_geometry {

inline constexpr double defaultWidth = 640;
inline constexpr double defaultHeight = 360;
inline constexpr double minWidth = 360;
inline constexpr double minHeight = 140;
inline constexpr double resizeEdgeThreshold = 6;
// What stands in for the screen when there is none.
inline constexpr PanelRect fallbackScreen{0, 0, 1440, 900};

// Keeps 50 points of screen free on each side; the minimum wins on a screen
// too small for that.
PanelSize clampSize(PanelSize wanted, const PanelRect& visible);

// Centred horizontally, its bottom edge 15 % of the screen's height above
// the bottom of the visible area.
PanelPoint defaultOrigin(PanelSize size, const PanelRect& visible);

// A saved spot is used only while at least 100 x 50 points of it are on screen.
bool isOnScreen(const PanelRect& saved, const PanelRect& visible);

// Which edge a press at this point (in the panel's own coordinates) grabs;
// corners belong to the left and right edges.
std::optional<ResizeEdge> resizeEdge(PanelPoint point, PanelSize panel);

// The frame after dragging `edge` from `pressedAt` to `pointer` (screen
// coordinates), the opposite edge staying put.
PanelRect resized(const PanelRect& initial, ResizeEdge edge, PanelPoint pressedAt, PanelPoint pointer,
                  const PanelRect& visible);

}  // namespace panel_geometry
}  // namespace dictaro
