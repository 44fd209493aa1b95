#include <gtest/gtest.h>

#include <memory>

#include "app/dictation/AtspiAccessibilityReader.h"
#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/DictationController.h"
#include "app/dictation/FocusTracker.h"
#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Paster.h"
#include "app/dictation/RecordingKeyTap.h"
#include "app/dictation/SonoscribeSpeechEngine.h"
#include "app/dictation/TranscriptionService.h"
#include "app/ui/PermissionAccess.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/concurrency/Sleep.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"
#include "tests/desktop/DesktopSession.h"
#include "tests/desktop/SpokenDictation.h"
#include "tests/support/PipeMicrophone.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestHubServer.h"

// A whole dictation without any of our windows: the hot key grabbed on the
// X server, the model downloaded from a hub, speech heard through the sound
// server, Return taken by the key tap, the transcript rewritten by a provider
// and pasted into the focused editor.
namespace dictaro {
namespace {

using namespace std::chrono_literals;
using desktoptest::clipboardAs;
using desktoptest::TargetWindow;
using desktoptest::waitUntil;
using desktoptest::xdotool;

// The panel as the controller drives it, with what it was last told to show.
class ShownDisplay final : public DictationView {
public:
    void render(const TranscriptDisplay& display) override { last = display; }
    bool isVisible() const override { return visible; }
    void showAtPersistedPosition() override { visible = true; }
    void dismiss() override { visible = false; }

    TranscriptDisplay last;
    bool visible = false;
};

class HeadlessDictation : public ::testing::Test {
protected:
    void SetUp() override {
        desktoptest::serveSpeechModel(folder.path() / "hub");
        hub = std::make_unique<testsupport::TestHubServer>(folder.path() / "hub");
        desktoptest::useTestHub(hub->endpoint(), folder.path() / "home");

        FormattingConfig formatting;
        formatting.enabled = true;
        formatting.provider = FormattingProvider::ollama;
        formatting.ollamaHost = *FormattingConfig::ollamaHostURL(provider.endpoint());
        formatting.modelByProvider[FormattingProvider::ollama] = "llama3.2";

        TranscriptionService::Dependencies speech;
        speech.runtime = DictationRuntime::standard();
        const auto processor = std::make_shared<DictaroAudioProcessor>();
        speech.loadEngine = [processor](const std::string& model) -> std::shared_ptr<SpeechEngine> {
            return SonoscribeSpeechEngine::load(model, processor);
        };
        speech.sleep = [](std::chrono::milliseconds duration) { platform::sleep(duration); };
        speech.defaults = defaults;
        speech.setPreferredInputDevice = [processor](const std::optional<std::string>& source) {
            processor->setPreferredSource(source);
        };
        transcription = TranscriptionService::create(desktoptest::speechModelName, std::move(speech));

        DictationDesktop desktop;
        desktop.capturedApp = [this] { return focus->capturedApp(); };
        desktop.paste = [this](const std::string& text, const std::optional<RunningApplication>& target) {
            return paster.paste(text, target);
        };
        desktop.installKeyTap = [this] { keyTap.install(); };
        desktop.removeKeyTap = [this] { keyTap.remove(); };
        desktop.microphoneAuthorized = [] {
            return PermissionAccess::system().microphone() == MicrophoneAuthorization::authorized;
        };
        desktop.accessibilityTrusted = [] { return true; };
        desktop.showOnboarding = [] { ADD_FAILURE() << "a permission was found missing"; };
        controller = DictationController::create(
            {DictationRuntime::standard(), std::move(desktop), view, transcription,
             std::make_shared<ContextProbe>(std::make_shared<AtspiAccessibilityReader>()), defaults});
        controller->setFormatting(formatting, formatting.buildService());
        hotkey.registerAction(HotkeyManager::Action::toggle, [this] { controller->toggleRecording(); });
    }

    void TearDown() override { hotkey.unregisterAll(); }

    testsupport::TempDirectory folder;
    std::unique_ptr<testsupport::TestHubServer> hub;
    testsupport::FakeProviderServer provider;
    std::shared_ptr<platform::UserDefaults> defaults =
        std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
    std::shared_ptr<ShownDisplay> view = std::make_shared<ShownDisplay>();
    std::shared_ptr<TranscriptionService> transcription;
    std::unique_ptr<FocusTracker> focus;
    platform::clipboard::Pasteboard pasteboard;
    platform::x11::Workspace workspace;
    platform::x11::SyntheticKeys keys;
    Paster paster{PasteDesktop{pasteboard, workspace, keys, [] { return true; }}};
    RecordingKeyTap keyTap{[this](TappedRecordingKey key) { controller->performTappedKey(key); }};
    HotkeyManager hotkey;
    std::shared_ptr<DictationController> controller;
};

TEST_F(HeadlessDictation, HotKeySpeechAndReturnPasteTheRewriteOrTheRawTranscriptAndKeepTheClipboard) {
    ASSERT_TRUE(waitUntil([&] { return transcription->status() == TranscriptionStatus::ready(); }, 30s))
        << "the model did not load: " << transcription->status().description();
    EXPECT_GT(hub->requestCount("GET"), 0) << "the model came from somewhere else than the hub";

    struct Case {
        const char* name;
        testsupport::ScriptedAnswer answer;
        std::string pasted;
    };
    const Case cases[] = {
        {"rewritten", desktoptest::formattedAnswer(), desktoptest::formattedTranscript},
        {"provider cut short", desktoptest::cutShortAnswer(), desktoptest::rawTranscript},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        provider.script("/api/chat", c.answer);
        TargetWindow::Options options;
        options.ownClipboard = "the user's own words";
        TargetWindow target(options);
        ASSERT_TRUE(target.waitUntilActive());
        ASSERT_TRUE(waitUntil([] { return clipboardAs("text/plain") == "the user's own words"; }));
        focus = std::make_unique<FocusTracker>();

        testsupport::PipeMicrophone microphone;
        xdotool({"key", "super+alt+m"});
        ASSERT_TRUE(waitUntil([&] { return transcription->status() == TranscriptionStatus::recording(); }));
        microphone.say(desktoptest::dictatedSpeech());
        // The live text grows word by word until the pass is done.
        ASSERT_TRUE(waitUntil(
            [&] {
                return view->last.kind == TranscriptDisplay::Kind::listening &&
                       view->last.text == desktoptest::rawTranscript;
            },
            30s))
            << "the panel shows \"" << view->last.text << "\"";
        EXPECT_EQ(target.text(), "") << "the speech reached the editor before the stop";

        xdotool({"key", "Return"});
        EXPECT_TRUE(waitUntil([&] { return target.text() == c.pasted; }, 15s)) << "the editor holds \"" << target.text() << "\"";
        EXPECT_TRUE(waitUntil([&] { return !view->visible; }));
        EXPECT_EQ(clipboardAs("text/plain"), "the user's own words");
        EXPECT_EQ(transcription->status(), TranscriptionStatus::ready());
    }
    ASSERT_EQ(provider.requests().size(), 2u);
    EXPECT_NE(provider.requests().front().body.find(desktoptest::rawTranscript), std::string::npos)
        << "the provider was not given the transcript";
}

}  // namespace
}  // namespace dictaro
