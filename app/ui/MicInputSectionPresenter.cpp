#include "app/ui/MicInputSectionPresenter.h"

#include <algorithm>
#include <filesystem>
#include <locale>

#include "app/dictation/AudioInputPreference.h"
#include "app/dictation/Log.h"
#include "platform/text/CaseMapping.h"

namespace dictaro {
namespace {

bool isPlainInput(const DictaroAudioDevice& device) {
    return device.inputChannels == 1 || device.inputChannels == 2;
}

// The user's own collation where the environment names a usable locale, else
// the bytes' order.
const std::locale& collationLocale() {
    static const std::locale locale = [] {
        try {
            return std::locale("");
        } catch (const std::runtime_error&) {
            return std::locale::classic();
        }
    }();
    return locale;
}

bool nameBefore(const std::string& a, const std::string& b) {
    const std::string left = platform::text::lowercased(a);
    const std::string right = platform::text::lowercased(b);
    const auto& collate = std::use_facet<std::collate<char>>(collationLocale());
    return collate.compare(left.data(), left.data() + left.size(), right.data(), right.data() + right.size()) < 0;
}

}  // namespace

MicInputSectionPresenter::DeviceSource MicInputSectionPresenter::defaultDeviceSource() {
    return AudioInputPreference::availableInputDevices;
}

MicInputSectionPresenter::MicInputSectionPresenter(std::shared_ptr<platform::UserDefaults> defaults,
                                                   DeviceSource devices)
    : defaults_(std::move(defaults)), deviceSource_(std::move(devices)) {}

std::vector<DictaroAudioDevice> MicInputSectionPresenter::sorted(std::vector<DictaroAudioDevice> devices) {
    std::stable_sort(devices.begin(), devices.end(), [](const DictaroAudioDevice& a, const DictaroAudioDevice& b) {
        if (isPlainInput(a) != isPlainInput(b)) return isPlainInput(a);
        return nameBefore(a.name, b.name);
    });
    return devices;
}

std::string MicInputSectionPresenter::itemTitle(const DictaroAudioDevice& device) {
    return device.name + "  (" + std::to_string(device.inputChannels) + " ch)";
}

std::optional<std::size_t> MicInputSectionPresenter::chosenIndex() const {
    const std::optional<uint32_t> chosen = AudioInputPreference::deviceID(*defaults_);
    if (!chosen) return std::nullopt;
    const auto found = std::find_if(devices_.begin(), devices_.end(),
                                    [&](const DictaroAudioDevice& device) { return device.id == *chosen; });
    if (found == devices_.end()) return std::nullopt;
    return static_cast<std::size_t>(found - devices_.begin());
}

int MicInputSectionPresenter::storedItem() const {
    const std::optional<std::size_t> chosen = chosenIndex();
    return chosen ? static_cast<int>(*chosen) + 1 : 0;
}

void MicInputSectionPresenter::reloadDevices() {
    devices_ = sorted(deviceSource_());
    state_.itemTitles = {systemDefault};
    for (const DictaroAudioDevice& device : devices_) state_.itemTitles.push_back(itemTitle(device));
    state_.selectedIndex = storedItem();
    refreshWarning();
}

void MicInputSectionPresenter::select(int index) {
    const bool isDevice = index >= 1 && static_cast<std::size_t>(index) <= devices_.size();
    try {
        AudioInputPreference::setDeviceID(*defaults_,
                                          isDevice ? std::optional<uint32_t>(devices_[index - 1].id) : std::nullopt);
        state_.selectedIndex = isDevice ? index : 0;
    } catch (const std::filesystem::filesystem_error& error) {
        // The choice that is still stored stays what is used and shown.
        Log::error("app", std::string("could not save the microphone choice: ") + error.what());
        state_.selectedIndex = storedItem();
    }
    refreshWarning();
}

void MicInputSectionPresenter::refreshWarning() {
    const std::optional<std::size_t> chosen = chosenIndex();
    if (!chosen || isPlainInput(devices_[*chosen])) {
        state_.warning.reset();
        return;
    }
    const DictaroAudioDevice& device = devices_[*chosen];
    state_.warning = "“" + device.name + "” reports " + std::to_string(device.inputChannels) + " channels. " +
                     "Dictaro will capture the first 1–2 channels and downmix to mono. If " +
                     "transcription quality is poor, try picking a dedicated 1-channel mic.";
}

}  // namespace dictaro
