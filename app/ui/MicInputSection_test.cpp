#include "app/ui/MicInputSection.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>

#include "app/dictation/AudioInputPreference.h"
#include "platform/audio/AudioDevices.h"
#include "tests/support/Screenshots.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

TEST(MicInputSectionWidgetTest, ShowsTheStoredMultiChannelChoiceAndStoresOnlyWhatTheUserPicks) {
    ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "this test draws on the test session's X server";
    testsupport::TempDirectory folder;
    auto defaults = std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    defaults->set(AudioInputPreference::key, "alsa_input.studio");
    const std::vector<DictaroAudioDevice> devices = {
        {platform::audio::deviceID("alsa_input.studio"), "Studio Interface", 8},
        {platform::audio::deviceID("alsa_input.usb"), "Desk Mic", 2},
    };
    MicInputSection section(std::make_shared<MicInputSectionPresenter>(defaults, [devices] { return devices; }));
    section.setFixedWidth(532);
    section.show();
    section.adjustSize();
    QApplication::processEvents();

    QComboBox& popup = *section.popup();
    ASSERT_EQ(popup.count(), 3);
    EXPECT_EQ(popup.itemText(1).toStdString(), "Desk Mic  (2 ch)");
    EXPECT_FALSE(popup.itemData(0).isValid());
    EXPECT_EQ(popup.itemData(2).toUInt(), devices[0].id);
    EXPECT_EQ(popup.currentIndex(), 2);
    EXPECT_TRUE(section.warningLabel()->isVisible());
    EXPECT_TRUE(
        section.warningLabel()->text().startsWith(QString::fromUtf8("“Studio Interface” reports 8 channels.")));
    testsupport::expectLooksLike(section.grab().toImage(), SCREENSHOT_DIR, GOLDEN_DIR, "mic-input-section");

    // A programmatic change of the menu is not the user's choice.
    popup.setCurrentIndex(1);
    EXPECT_EQ(AudioInputPreference::deviceName(*defaults), "alsa_input.studio");
    popup.activated(1);
    EXPECT_EQ(AudioInputPreference::deviceName(*defaults), "alsa_input.usb");
    EXPECT_FALSE(section.warningLabel()->isVisible());
}

}  // namespace
}  // namespace dictaro
