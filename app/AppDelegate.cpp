#include "app/AppDelegate.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QShortcut>

#include "app/dictation/AtspiAccessibilityReader.h"
#include "app/dictation/DictationController.h"
#include "app/dictation/FocusTracker.h"
#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Log.h"
#include "app/dictation/Paster.h"
#include "app/dictation/RecordingKeyTap.h"
#include "app/formatting/ContextProbe.h"
#include "app/formatting/FormattingService.h"
#include "app/ui/OnboardingWindowController.h"
#include "app/ui/StatusBarController.h"
#include "app/ui/TranscriptPanel.h"
#include "app/ui/TranscriptViewController.h"
#include "platform/clipboard/Pasteboard.h"
#include "platform/concurrency/MainActor.h"
#include "platform/concurrency/Task.h"
#include "platform/concurrency/ThreadPool.h"
#include "platform/settings/UserDefaults.h"
#include "platform/x11/SyntheticKeys.h"
#include "platform/x11/Workspace.h"

namespace dictaro {

// What a paste goes through. Shared with the pastes under way, which run on
// other threads and may outlast the delegate by a moment.
struct AppDelegate::PasteDesktop {
    // A paste's own waits, and some time to read and give back the clipboard.
    static constexpr std::chrono::milliseconds longestPaste = Paster::activationTimeout +
                                                              Paster::settleBeforeKeystroke + Paster::fetchTimeout +
                                                              Paster::afterFetch + std::chrono::seconds(1);

    explicit PasteDesktop(std::function<bool()> accessibilityTrusted)
        : paster(dictaro::PasteDesktop{pasteboard, workspace, keys, std::move(accessibilityTrusted)}) {}

    // For a quit: nothing of a paste waits for the main thread any more.
    void close() {
        paster.close();
        pasteboard.close();
    }

    platform::clipboard::Pasteboard pasteboard;
    platform::x11::Workspace workspace;
    platform::x11::SyntheticKeys keys;
    Paster paster;
};

namespace {

// Reads the provider's key from the secret store.
std::shared_ptr<FormattingService> formatterFor(const FormattingConfig& config) {
    return config.enabled ? config.buildService() : nullptr;
}

// How long a quit waits for the clipboard's keeper to take the clipboard.
constexpr std::chrono::seconds clipboardKeeperTimeout{2};

// The controller's runtime, counting the work it runs in the background (the
// rewrite, the paste) from the moment it is handed over.
DictationRuntime counting(DictationRuntime runtime, std::shared_ptr<std::atomic<int>> running) {
    runtime.runInBackground = [inner = runtime.runInBackground, running](std::function<void()> job) {
        ++*running;
        inner([running, job = std::move(job)] {
            job();
            --*running;
        });
    };
    return runtime;
}

}  // namespace

void AppDelegate::DeleteLater::operator()(OnboardingWindowController* window) const {
    // The window may be in the middle of its own close handler.
    window->deleteLater();
}

AppDelegate::AppDelegate(Services services)
    : services_(std::move(services)), formattingConfig_(FormattingConfig::fromDefaults(*services_.defaults)) {}

AppDelegate::~AppDelegate() = default;

// A callback that runs `member` on the delegate while it exists.
template <class Member>
auto AppDelegate::weakly(Member member) {
    return [weak = weak_from_this(), member](auto&&... arguments) {
        if (const auto self = weak.lock()) ((*self).*member)(std::forward<decltype(arguments)>(arguments)...);
    };
}

// A callback that runs `member` on the dictation controller while the
// delegate exists.
template <class Member>
auto AppDelegate::onController(Member member) {
    return [weak = weak_from_this(), member](auto&&... arguments) {
        if (const auto self = weak.lock(); self && self->controller_) {
            ((*self->controller_).*member)(std::forward<decltype(arguments)>(arguments)...);
        }
    };
}

void AppDelegate::applicationDidFinishLaunching() {
    panel_ = std::make_shared<TranscriptPanel>(services_.defaults);
    focusTracker_ = std::make_unique<FocusTracker>();
    contextProbe_ = std::make_shared<ContextProbe>(std::make_shared<AtspiAccessibilityReader>());
    transcription_ = services_.makeTranscription(modelName);
    buildDictation();

    rebuildFormatter();
    // Posts may come from any thread; the settings are reread on the main thread.
    formattingObservation_ = platform::NotificationCenter::defaultCenter().addObserver(
        std::string(FormattingConfig::notificationName),
        [reload = weakly(&AppDelegate::reloadFormattingConfig)] { platform::MainActor::post(reload); });

    hotkeyManager_ = std::make_unique<HotkeyManager>();
    hotkeyManager_->registerAction(HotkeyManager::Action::toggle, onController(&DictationController::toggleRecording));

    statusBarController_ = std::make_unique<StatusBarController>();
    statusBarController_->onToggleRecording = onController(&DictationController::toggleRecording);
    statusBarController_->onOpenSetup = weakly(&AppDelegate::showOnboarding);
    statusBarController_->onRunPractice = onController(&DictationController::startPractice);
    statusBarController_->setup();

    const PermissionAccess& permissions = services_.permissions;
    if (!services_.defaults->boolean("OnboardingShown").value_or(false) ||
        permissions.microphone() != MicrophoneAuthorization::authorized || !permissions.accessibilityTrusted()) {
        showOnboarding();
    }

    Log::info("app", std::string("Application launched (formatting=") +
                         (formattingConfig_.enabled ? "true" : "false") +
                         ", provider=" + std::string(rawValue(formattingConfig_.provider)) + ")");
}

void AppDelegate::buildDictation() {
    const PermissionAccess& permissions = services_.permissions;
    pasteDesktop_ = std::make_shared<PasteDesktop>(permissions.accessibilityTrusted);
    keyTap_ = std::make_unique<RecordingKeyTap>(onController(&DictationController::performTappedKey));

    DictationDesktop desktop;
    desktop.capturedApp = [weak = weak_from_this()]() -> std::optional<RunningApplication> {
        const auto self = weak.lock();
        return self ? self->focusTracker_->capturedApp() : std::nullopt;
    };
    desktop.paste = [pasteDesktop = pasteDesktop_](const std::string& text,
                                                   const std::optional<RunningApplication>& target) {
        return pasteDesktop->paster.paste(text, target);
    };
    desktop.installKeyTap = [weak = weak_from_this()](std::span<const TappedRecordingKey> keys) {
        if (const auto self = weak.lock()) self->keyTap_->install(keys);
    };
    desktop.removeKeyTap = [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->keyTap_->remove();
    };
    desktop.microphoneAuthorized = [permissions] {
        return permissions.microphone() == MicrophoneAuthorization::authorized;
    };
    desktop.accessibilityTrusted = permissions.accessibilityTrusted;
    desktop.showOnboarding = weakly(&AppDelegate::showOnboarding);

    controller_ = DictationController::create({counting(DictationRuntime::standard(), backgroundWork_),
                                               std::move(desktop), panel_, transcription_, contextProbe_,
                                               services_.defaults});

    TranscriptViewController& view = panel_->transcriptView();
    view.audioLevelsProvider = [weak = weak_from_this()] {
        const auto self = weak.lock();
        return self && self->services_.audioLevels ? self->services_.audioLevels() : std::vector<float>{};
    };
    view.onTogglePause = onController(&DictationController::togglePause);
    view.onRestart = onController(&DictationController::restartRecording);
    view.onCancel = onController(&DictationController::cancelRecording);
}

void AppDelegate::applicationWillTerminate() {
    finishBackgroundWork();
    if (pasteDesktop_) {
        // The clipboard we restored after a paste is the user's own, whose
        // first owner may be gone.
        pasteDesktop_->pasteboard.outliveExit(services_.keepClipboard, clipboardKeeperTimeout);
        pasteDesktop_->close();
    }
    if (hotkeyManager_) hotkeyManager_->unregisterAll();
    if (keyTap_) keyTap_->remove();
    Log::info("app", "Application terminating");
}

// A rewrite or a paste under way goes on to its end first, for a while: the
// paste types into its target and gives the user's clipboard back, with this
// thread answering the clipboard's requests and running what the work hands
// back (a finished rewrite starts its paste here).
void AppDelegate::finishBackgroundWork() {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (*backgroundWork_ == 0) {
            platform::MainActor::drain();
            if (*backgroundWork_ == 0) break;
        }
        if (clock.elapsed() >= PasteDesktop::longestPaste.count()) break;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

void AppDelegate::rebuildFormatter() { installFormatter(formattingConfig_, formatterFor(formattingConfig_)); }

void AppDelegate::installFormatter(FormattingConfig config, std::shared_ptr<FormattingService> formatter) {
    formattingConfig_ = std::move(config);
    formatter_ = std::move(formatter);
    if (formattingConfig_.enabled && !formatter_) {
        Log::error("formatter", "formatting enabled but provider " + std::string(rawValue(formattingConfig_.provider)) +
                                    " has no service (missing API key?)");
    }
    controller_->setFormatting(formattingConfig_, formatter_);
}

void AppDelegate::reloadFormattingConfig() {
    // Every stored keystroke of an API key lands here, and the key comes back
    // from a secret store that may be slow to answer: the formatter is built
    // off the main thread, and of several reloads under way the newest stands.
    const FormattingConfig config = FormattingConfig::fromDefaults(*services_.defaults);
    const std::uint64_t generation = ++formatterGeneration_;
    platform::Task<void>([weak = weak_from_this(), config, generation] {
        std::shared_ptr<FormattingService> formatter;
        {
            platform::ThreadPool::BlockingScope blocking;
            formatter = formatterFor(config);
        }
        platform::MainActor::post([weak, config, formatter, generation] {
            const auto self = weak.lock();
            if (self && generation == self->formatterGeneration_) self->installFormatter(config, formatter);
        });
    });
}

void AppDelegate::showOnboarding() {
    if (!onboarding_) {
        onboarding_.reset(new OnboardingWindowController(services_.permissions, services_.defaults));
        onboarding_->onDone = weakly(&AppDelegate::onboardingDone);
        // This desktop has no application menu to carry "Quit Dictaro": its
        // shortcut works in the setup window itself.
        QObject::connect(new QShortcut(QKeySequence::Quit, onboarding_.get()), &QShortcut::activated, qApp,
                         &QApplication::quit);
    }
    onboarding_->present();
}

void AppDelegate::onboardingDone() {
    onboarding_.reset();
    if (!services_.defaults->boolean(DictationController::practiceShownKey).value_or(false) &&
        services_.permissions.bothGranted()) {
        controller_->startPractice();
    }
}

}  // namespace dictaro
