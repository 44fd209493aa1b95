#include "app/ui/PanelGeometry.h"

#include <algorithm>

namespace dictaro::panel_geometry {

namespace {

// Raised to the minimum after being lowered to the screen, so the minimum wins.
double clampedWidth(double width, const PanelRect& visible) {
    return std::max(minWidth, std::min(width, visible.width - 100));
}

double clampedHeight(double height, const PanelRect& visible) {
    return std::max(minHeight, std::min(height, visible.height - 100));
}

}  // namespace

PanelSize clampSize(PanelSize wanted, const PanelRect& visible) {
    return {clampedWidth(wanted.width, visible), clampedHeight(wanted.height, visible)};
}

PanelPoint defaultOrigin(PanelSize size, const PanelRect& visible) {
    const double bottom = visible.maxY() - 0.15 * visible.height;
    return {visible.x + visible.width / 2 - size.width / 2, bottom - size.height};
}

bool isOnScreen(const PanelRect& saved, const PanelRect& visible) {
    const double overlapWidth = std::min(saved.maxX(), visible.maxX()) - std::max(saved.x, visible.x);
    const double overlapHeight = std::min(saved.maxY(), visible.maxY()) - std::max(saved.y, visible.y);
    return overlapWidth >= 100 && overlapHeight >= 50;
}

std::optional<ResizeEdge> resizeEdge(PanelPoint point, PanelSize panel) {
    const double t = resizeEdgeThreshold;
    if (point.x <= t) return ResizeEdge::left;
    if (point.x >= panel.width - t) return ResizeEdge::right;
    if (point.y >= panel.height - t) return ResizeEdge::bottom;
    if (point.y <= t) return ResizeEdge::top;
    return std::nullopt;
}

PanelRect resized(const PanelRect& initial, ResizeEdge edge, PanelPoint pressedAt, PanelPoint pointer,
                  const PanelRect& visible) {
    // The right and bottom edges grow as the pointer moves right or down; the
    // left and top ones grow the other way and carry the origin with them.
    const bool horizontal = edge == ResizeEdge::left || edge == ResizeEdge::right;
    const bool followsPointer = edge == ResizeEdge::right || edge == ResizeEdge::bottom;
    const double moved = horizontal ? pointer.x - pressedAt.x : pointer.y - pressedAt.y;
    const double change = followsPointer ? moved : -moved;
    PanelRect frame = initial;
    // Unlike the clamp at show time, the screen wins over the minimum here.
    if (horizontal) {
        frame.width = std::min(std::max(initial.width + change, minWidth), visible.width - 100);
        if (!followsPointer) frame.x = initial.maxX() - frame.width;
    } else {
        frame.height = std::min(std::max(initial.height + change, minHeight), visible.height - 100);
        if (!followsPointer) frame.y = initial.maxY() - frame.height;
    }
    return frame;
}

}  // namespace dictaro::panel_geometry
