#pragma once

#include <memory>
#include <optional>

#include "app/ui/PanelGeometry.h"

namespace platform {
class UserDefaults;
}

namespace dictaro {

// The transcript panel's size and place, and the press-drag-release of a
// resize or a move, kept apart from the window so that the rules can be
// checked without a display. The size and the spot the user chose are
// written to the settings only when the mouse button comes up.
class PanelPlacement {
public:
    explicit PanelPlacement(std::shared_ptr<platform::UserDefaults> defaults);

    PanelSize size() const { return {width_, height_}; }

    // The frame for the next show: the stored size clamped to the screen, at
    // the saved spot while enough of it is on screen, else at the default
    // spot (and the saved one is forgotten).
    PanelRect frameForShow(const PanelRect& visible);

    // A left press at `inPanel` (the panel's own coordinates) or `onScreen`;
    // answers whether the panel takes the event from its views.
    bool press(PanelPoint inPanel, PanelPoint onScreen, const PanelRect& frame, bool onBackground);
    // The frame to set while the pointer moves with the button held, if a
    // resize or move is in progress.
    std::optional<PanelRect> drag(PanelPoint onScreen, const PanelRect& visible);
    // Ends a resize or move; answers whether one was in progress.
    bool release(const PanelRect& frame);

    bool isTracking() const { return activeEdge_.has_value() || dragging_; }

private:
    void persistPosition(PanelPoint origin);
    void clearSavedPosition();

    std::shared_ptr<platform::UserDefaults> defaults_;
    double width_;
    double height_;
    std::optional<ResizeEdge> activeEdge_;
    PanelPoint pressedAt_;
    PanelRect initialFrame_;
    bool dragging_ = false;
};

}  // namespace dictaro
