// The application: a tray icon, the global hot key and the windows, on the
// X11 desktop.
#include <QApplication>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "app/AppDelegate.h"
#include "app/dictation/AppIdentity.h"
#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/OnDeviceTranscription.h"
#include "app/ui/WaveformLevels.h"
#include "platform/clipboard/ClipboardKeeper.h"
#include "platform/concurrency/MainActor.h"
#include "platform/instance/SingleInstance.h"
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
    // The process of ours that keeps the user's clipboard after a quit.
    constexpr std::string_view keepClipboard = "--keep-clipboard";
    if (argc == 2 && argv[1] == keepClipboard) return platform::clipboard::runClipboardKeeper(argc, argv);
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

    // One copy per user and display; a second start brings the first one's
    // setup window up. A copy that is quitting, as for a relaunch, is waited
    // for.
    platform::instance::SingleInstance instance("dictaro");
    switch (instance.start(std::chrono::seconds(10))) {
        case platform::instance::SingleInstance::Start::first: break;
        case platform::instance::SingleInstance::Start::forwarded:
            std::puts("Dictaro is already running; its setup window is open.");
            return 0;
        case platform::instance::SingleInstance::Start::unreachable:
            std::fputs("Dictaro is already running on this display but does not answer.\n", stderr);
            return 1;
    }

    // Work handed to the main actor from other threads runs on this thread,
    // between the toolkit's events.
    QTimer mainActor;
    QObject::connect(&mainActor, &QTimer::timeout, [] { platform::MainActor::drain(); });
    mainActor.start(4);

    dictaro::AppDelegate::Services services;
    services.permissions = dictaro::PermissionAccess::system();
    services.defaults = platform::UserDefaults::standard();
    const auto processor = std::make_shared<dictaro::DictaroAudioProcessor>();
    services.makeTranscription = [defaults = services.defaults, processor](const std::string& modelName) {
        return dictaro::makeOnDeviceTranscription(modelName, defaults, processor);
    };
    // The meter follows the microphone's energy, relative to its recent quiet;
    // it draws only the newest levels, and a long dictation holds many.
    services.audioLevels = [processor] { return processor->latestRelativeEnergy(dictaro::WaveformLevels::barCount); };
    services.keepClipboard = [keepClipboard](const platform::clipboard::PasteboardSnapshot& contents) {
        std::error_code error;
        const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
        return !error &&
               platform::clipboard::startClipboardKeeper({executable.string(), std::string(keepClipboard)}, contents);
    };
    const auto delegate = std::make_shared<dictaro::AppDelegate>(std::move(services));
    QObject::connect(&application, &QApplication::aboutToQuit, [&delegate, &instance] {
        instance.stopAnswering();
        delegate->applicationWillTerminate();
    });
    QTimer::singleShot(0, [&delegate, &instance] {
        delegate->applicationDidFinishLaunching();
        instance.answer([&delegate] { delegate->showOnboarding(); });
    });
    return QApplication::exec();
}
