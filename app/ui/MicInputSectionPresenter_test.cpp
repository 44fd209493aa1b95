#include "app/ui/MicInputSectionPresenter.h"

#include <gtest/gtest.h>

#include <fstream>

#include "app/dictation/AudioInputPreference.h"
#include "platform/audio/AudioDevices.h"
#include "platform/settings/NotificationCenter.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

DictaroAudioDevice device(const std::string& source, const std::string& name, int channels) {
    return {platform::audio::deviceID(source), name, channels};
}

const std::string kWarningTail =
    " channels. Dictaro will capture the first 1–2 channels and downmix to mono. If transcription quality is poor, "
    "try picking a dedicated 1-channel mic.";

TEST(MicInputSectionPresenterTest, ListsSelectsStoresAndWarnsAsTheUserChooses) {
    const DictaroAudioDevice usb = device("alsa_input.usb", "b-USB", 2);
    const DictaroAudioDevice studio = device("alsa_input.studio", "A-Studio", 8);
    const DictaroAudioDevice headset = device("alsa_input.headset", "a-Headset", 1);
    const DictaroAudioDevice cable = device("alsa_input.cable", "Cable", 6);
    const DictaroAudioDevice cableTwin = device("alsa_input.cable-2", "cable", 2);
    const DictaroAudioDevice cableTwin2 = device("alsa_input.cable-3", "CABLE", 2);

    struct Case {
        std::string what;
        std::vector<DictaroAudioDevice> devices;
        std::optional<std::string> stored;
        // Menu item the user picks after the reload; none: only reload.
        std::optional<int> pick;
        // The devices at a second showing of the window; none: no second showing.
        std::optional<std::vector<DictaroAudioDevice>> replugged;
        MicInputSectionState expected;
        std::optional<std::string> storedAfter;
        int notifications;
    };
    const std::vector<Case> cases = {
        {"plain devices first, then by name regardless of case",
         {usb, studio, headset},
         std::nullopt,
         std::nullopt,
         std::nullopt,
         {{"System Default", "a-Headset  (1 ch)", "b-USB  (2 ch)", "A-Studio  (8 ch)"}, 0, std::nullopt},
         std::nullopt,
         0},
        {"names equal but for case keep their listed order",
         {cableTwin2, cableTwin, headset},
         "alsa_input.cable-2",
         std::nullopt,
         std::nullopt,
         {{"System Default", "a-Headset  (1 ch)", "CABLE  (2 ch)", "cable  (2 ch)"}, 3, std::nullopt},
         "alsa_input.cable-2",
         0},
        {"the stored multi-channel device is selected with its warning",
         {usb, studio},
         "alsa_input.studio",
         std::nullopt,
         std::nullopt,
         {{"System Default", "b-USB  (2 ch)", "A-Studio  (8 ch)"}, 2, "“A-Studio” reports 8" + kWarningTail},
         "alsa_input.studio",
         0},
        {"picking the default input removes the choice and the warning",
         {usb, studio},
         "alsa_input.studio",
         0,
         std::nullopt,
         {{"System Default", "b-USB  (2 ch)", "A-Studio  (8 ch)"}, 0, std::nullopt},
         std::nullopt,
         1},
        {"picking a six-channel device stores its source and warns",
         {usb, cable},
         std::nullopt,
         2,
         std::nullopt,
         {{"System Default", "b-USB  (2 ch)", "Cable  (6 ch)"}, 2, "“Cable” reports 6" + kWarningTail},
         "alsa_input.cable",
         1},
        {"picking the device already chosen still announces it",
         {usb},
         "alsa_input.usb",
         1,
         std::nullopt,
         {{"System Default", "b-USB  (2 ch)"}, 1, std::nullopt},
         "alsa_input.usb",
         1},
        {"an unplugged choice falls back to the default input but stays stored",
         {usb, studio},
         "alsa_input.studio",
         std::nullopt,
         std::vector<DictaroAudioDevice>{usb},
         {{"System Default", "b-USB  (2 ch)"}, 0, std::nullopt},
         "alsa_input.studio",
         0},
        {"no devices leave only the default input",
         {},
         "alsa_input.usb",
         std::nullopt,
         std::nullopt,
         {{"System Default"}, 0, std::nullopt},
         "alsa_input.usb",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::TempDirectory folder;
        auto defaults = std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
        if (c.stored) defaults->set(AudioInputPreference::key, *c.stored);
        std::vector<DictaroAudioDevice> present = c.devices;
        MicInputSectionPresenter presenter(defaults, [&present] { return present; });
        int notifications = 0;
        const auto observer = platform::NotificationCenter::defaultCenter().addObserver(
            std::string(AudioInputPreference::notificationName), [&notifications] { ++notifications; });

        presenter.reloadDevices();
        if (c.pick) presenter.select(*c.pick);
        if (c.replugged) {
            present = *c.replugged;
            presenter.reloadDevices();
        }
        EXPECT_EQ(presenter.state().itemTitles, c.expected.itemTitles);
        EXPECT_EQ(presenter.state().selectedIndex, c.expected.selectedIndex);
        EXPECT_EQ(presenter.state().warning, c.expected.warning);
        EXPECT_EQ(platform::UserDefaults(defaults->file()).string(AudioInputPreference::key), c.storedAfter);
        EXPECT_EQ(notifications, c.notifications);
    }
}

TEST(MicInputSectionPresenterTest, AChoiceThatCannotBeSavedLeavesTheDefaultInputShown) {
    testsupport::TempDirectory folder;
    std::ofstream(folder.path() / "not-a-folder") << "";
    auto defaults = std::make_shared<platform::UserDefaults>(folder.path() / "not-a-folder" / "settings.json");
    MicInputSectionPresenter presenter(defaults, [] { return std::vector{device("alsa_input.cable", "Cable", 6)}; });
    presenter.reloadDevices();
    presenter.select(1);
    EXPECT_EQ(presenter.state().selectedIndex, 0);
    EXPECT_EQ(presenter.state().warning, std::nullopt);
}

}  // namespace
}  // namespace dictaro
