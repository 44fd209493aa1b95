#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dictation/DictaroAudioDevice.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// What the microphone chooser shows: the menu's titles (the default input
// first), the selected item, and the multi-channel warning (none: hidden).
struct MicInputSectionState {
    std::vector<std::string> itemTitles;
    int selectedIndex = 0;
    std::optional<std::string> warning;

    friend bool operator==(const MicInputSectionState&, const MicInputSectionState&) = default;
};

// The microphone chooser without its widgets. The device list is read again
// on every reload only, so a device plugged in or out shows up the next time
// the setup window opens. Main thread only.
class MicInputSectionPresenter {
public:
    using DeviceSource = std::function<std::vector<DictaroAudioDevice>()>;

    static constexpr const char* title = "Microphone Input";
    static constexpr const char* explanation =
        "Dictaro transcribes on-device. Multi-channel devices (aggregates, virtual cables, pro interfaces) are "
        "handled automatically — the first 1–2 channels are downmixed to mono. Pick a specific device if the "
        "system default isn't what you want.";
    static constexpr const char* rowLabel = "Input";
    static constexpr const char* systemDefault = "System Default";

    // The sound server's inputs.
    static DeviceSource defaultDeviceSource();

    explicit MicInputSectionPresenter(std::shared_ptr<platform::UserDefaults> defaults,
                                      DeviceSource devices = defaultDeviceSource());

    // Refills the menu from the current devices and the stored choice.
    void reloadDevices();
    // The user picked menu item `index`; 0 (or no item) is the default input.
    void select(int index);

    const MicInputSectionState& state() const noexcept { return state_; }
    // The devices behind menu items 1, 2, ..., in menu order.
    const std::vector<DictaroAudioDevice>& devices() const noexcept { return devices_; }

    // One- and two-channel devices first, each group by name regardless of
    // case; equal names keep their listed order.
    static std::vector<DictaroAudioDevice> sorted(std::vector<DictaroAudioDevice> devices);
    static std::string itemTitle(const DictaroAudioDevice& device);

private:
    // The first listed device that is the stored choice.
    std::optional<std::size_t> chosenIndex() const;
    // The menu item of the stored choice; 0 when it is not listed.
    int storedItem() const;
    void refreshWarning();

    std::shared_ptr<platform::UserDefaults> defaults_;
    DeviceSource deviceSource_;
    std::vector<DictaroAudioDevice> devices_;
    MicInputSectionState state_;
};

}  // namespace dictaro
