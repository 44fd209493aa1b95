#include "app/ui/PanelPlacement.h"

#include <filesystem>
#include <string>

#include "platform/log/SystemLog.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

namespace {

constexpr const char* widthKey = "TranscriptPanelWidth";
constexpr const char* heightKey = "TranscriptPanelHeight";
constexpr const char* customPositionKey = "TranscriptPanelHasCustomPosition";
constexpr const char* positionXKey = "TranscriptPanelPositionX";
constexpr const char* positionYKey = "TranscriptPanelPositionY";

std::optional<double> storedNumber(const platform::UserDefaults& defaults, const char* key) {
    const auto value = defaults.object(key);
    const auto* number = value ? value->number() : nullptr;
    if (!number || number->storage() == platform::JSONNumber::Storage::boolean) return std::nullopt;
    return number->doubleValue();
}

double storedSize(const platform::UserDefaults& defaults, const char* key, double fallback) {
    const double stored = storedNumber(defaults, key).value_or(0);
    return stored > 0 ? stored : fallback;
}

// A settings file that cannot be written must not take the panel down with
// it: the panel keeps its size and place for this run and the failure is logged.
template <class Write>
void writeSettings(Write write) {
    try {
        write();
    } catch (const std::filesystem::filesystem_error& error) {
        static const platform::log::Logger systemLog("com.pelmaroven.dictaro", "TranscriptPanel");
        systemLog.log(platform::log::LogType::error, std::string("panel settings not saved: ") + error.what());
    }
}

}  // namespace

PanelPlacement::PanelPlacement(std::shared_ptr<platform::UserDefaults> defaults)
    : defaults_(std::move(defaults)),
      width_(storedSize(*defaults_, widthKey, panel_geometry::defaultWidth)),
      height_(storedSize(*defaults_, heightKey, panel_geometry::defaultHeight)) {}

PanelRect PanelPlacement::frameForShow(const PanelRect& visible) {
    const PanelSize size = panel_geometry::clampSize({width_, height_}, visible);
    width_ = size.width;
    height_ = size.height;
    if (defaults_->boolean(customPositionKey).value_or(false)) {
        const PanelRect saved{storedNumber(*defaults_, positionXKey).value_or(0),
                              storedNumber(*defaults_, positionYKey).value_or(0), size.width, size.height};
        if (panel_geometry::isOnScreen(saved, visible)) return saved;
        clearSavedPosition();
    }
    const PanelPoint origin = panel_geometry::defaultOrigin(size, visible);
    return {origin.x, origin.y, size.width, size.height};
}

bool PanelPlacement::press(PanelPoint inPanel, PanelPoint onScreen, const PanelRect& frame, bool onBackground) {
    activeEdge_ = panel_geometry::resizeEdge(inPanel, frame.size());
    dragging_ = !activeEdge_ && onBackground;
    pressedAt_ = onScreen;
    initialFrame_ = frame;
    return isTracking();
}

std::optional<PanelRect> PanelPlacement::drag(PanelPoint onScreen, const PanelRect& visible) {
    if (activeEdge_) {
        const PanelRect frame = panel_geometry::resized(initialFrame_, *activeEdge_, pressedAt_, onScreen, visible);
        width_ = frame.width;
        height_ = frame.height;
        return frame;
    }
    if (dragging_) {
        PanelRect frame = initialFrame_;
        frame.x += onScreen.x - pressedAt_.x;
        frame.y += onScreen.y - pressedAt_.y;
        return frame;
    }
    return std::nullopt;
}

bool PanelPlacement::release(const PanelRect& frame) {
    if (activeEdge_) {
        const bool horizontal = *activeEdge_ == ResizeEdge::left || *activeEdge_ == ResizeEdge::right;
        activeEdge_.reset();
        writeSettings([&] {
            if (horizontal) {
                defaults_->set(widthKey, platform::JSONNumber::doubleFloat(width_));
            } else {
                defaults_->set(heightKey, platform::JSONNumber::doubleFloat(height_));
            }
        });
        return true;
    }
    if (dragging_) {
        dragging_ = false;
        persistPosition(frame.origin());
        return true;
    }
    return false;
}

void PanelPlacement::persistPosition(PanelPoint origin) {
    writeSettings([&] {
        defaults_->set({{customPositionKey, platform::JSONNumber::boolean(true)},
                        {positionXKey, platform::JSONNumber::doubleFloat(origin.x)},
                        {positionYKey, platform::JSONNumber::doubleFloat(origin.y)}});
    });
}

void PanelPlacement::clearSavedPosition() {
    writeSettings([&] {
        defaults_->set(customPositionKey, platform::JSONNumber::boolean(false));
        defaults_->removeObject(positionXKey);
        defaults_->removeObject(positionYKey);
    });
}

}  // namespace dictaro
