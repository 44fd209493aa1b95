// The application: a tray icon, the global hot key and the windows, on the
// X11 desktop.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/AppDelegate.h"
#include "app/dictation/AppIdentity.h"
#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/DictationRuntime.h"
#include "app/dictation/SonoscribeSpeechEngine.h"
#include "app/dictation/TranscriptionService.h"
#include "platform/concurrency/Sleep.h"
#include "platform/concurrency/MainActor.h"
#include "platform/settings/UserDefaults.h"

namespace {

// The hot key is grabbed and the paste typed through the X server; a Wayland
// session without X gives us neither.
bool x11Missing() {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const char* x11 = std::getenv("DISPLAY");
    return wayland && *wayland && !(x11 && *x11);
}

}  // namespace

int main(int argc, char** argv) {
    if (x11Missing()) {
        std::fputs(
            "Dictaro needs an X11 session: it grabs its hot key and types the text through the X server, which a "
            "Wayland session does not allow. Log in to an X11 session (or set DISPLAY to one) and start Dictaro "
            "again.\n",
            stderr);
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication application(argc, argv);
    QApplication::setApplicationName("Dictaro");
    QApplication::setDesktopFileName(QString::fromUtf8(dictaro::applicationIdentifier.data(),
                                                       static_cast<qsizetype>(dictaro::applicationIdentifier.size())));
    // The application lives in the tray: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Work handed to the main actor from other threads runs on this thread,
    // between the toolkit's events.
    QTimer mainActor;
    QObject::connect(&mainActor, &QTimer::timeout, [] { platform::MainActor::drain(); });
    mainActor.start(4);

    dictaro::AppDelegate::Services services;
    services.permissions = dictaro::PermissionAccess::system();
    services.defaults = platform::UserDefaults::standard();
    // One capture for the application: the speech service records through
    // it and the panel's meter reads its levels.
    const auto processor = std::make_shared<dictaro::DictaroAudioProcessor>();
    services.audioLevels = [processor] { return processor->relativeEnergy(); };
    services.makeTranscription = [defaults = services.defaults, processor](const std::string& modelName) {
        dictaro::TranscriptionService::Dependencies speech;
        speech.runtime = dictaro::DictationRuntime::standard();
        speech.loadEngine = [processor](const std::string& model) -> std::shared_ptr<dictaro::SpeechEngine> {
            return dictaro::SonoscribeSpeechEngine::load(model, processor);
        };
        speech.sleep = [](std::chrono::milliseconds duration) { platform::sleep(duration); };
        speech.defaults = defaults;
        speech.setPreferredInputDevice = [processor](const std::optional<std::string>& source) {
            processor->setPreferredSource(source);
        };
        return dictaro::TranscriptionService::create(modelName, std::move(speech));
    };
    const auto delegate = std::make_shared<dictaro::AppDelegate>(std::move(services));
    QObject::connect(&application, &QApplication::aboutToQuit, [&delegate] { delegate->applicationWillTerminate(); });
    QTimer::singleShot(0, [&delegate] { delegate->applicationDidFinishLaunching(); });
    return QApplication::exec();
}
