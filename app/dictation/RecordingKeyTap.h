#pragma once

#include <array>
#include <functional>
#include <memory>
#include <span>

namespace platform::x11 {
class KeyGrabber;
}

namespace dictaro {

// The keys that steer a running dictation while the focus stays in the
// application that will receive the text.
enum class TappedRecordingKey { cancel, pause, restart, stop };

inline constexpr std::array<TappedRecordingKey, 4> allTappedRecordingKeys{
    TappedRecordingKey::cancel, TappedRecordingKey::pause, TappedRecordingKey::restart, TappedRecordingKey::stop};

// While installed, the chosen keys among Esc (with any modifiers) and Space, R
// and Return (with no Shift, Ctrl, Alt or Super; Caps Lock and Num Lock do not
// count) are taken from the whole screen: the focused application never sees
// them, and each press (repeats of a held key are dropped) runs `perform` on
// the main actor. Every other key reaches the focused application unchanged.
class RecordingKeyTap {
public:
    explicit RecordingKeyTap(std::function<void(TappedRecordingKey)> perform);
    ~RecordingKeyTap();
    RecordingKeyTap(const RecordingKeyTap&) = delete;
    RecordingKeyTap& operator=(const RecordingKeyTap&) = delete;

    // Replaces any installed tap with one that takes `keys`. When they cannot
    // be taken the error is logged, none is taken, and the dictation goes on
    // without them.
    void install(std::span<const TappedRecordingKey> keys = allTappedRecordingKeys);
    // Safe when none is installed.
    void remove();
    bool isInstalled() const { return installed_; }

private:
    std::shared_ptr<std::function<void(TappedRecordingKey)>> perform_;
    std::unique_ptr<platform::x11::KeyGrabber> grabber_;
    bool installed_ = false;
};

}  // namespace dictaro
