#include "app/dictation/DictationController.h"

#include <array>
#include <exception>
#include <typeinfo>
#include <utility>

#include "app/dictation/HotkeyManager.h"
#include "app/dictation/Log.h"
#include "app/formatting/FormattingProvider.h"
#include "platform/foundation/TypeName.h"
#include "platform/text/Graphemes.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {
namespace {

// On the practice's intro and result screens only Esc does something (it ends
// the practice); Space and Return must reach the focused application there.
constexpr std::array<TappedRecordingKey, 1> practiceScreenKeys{TappedRecordingKey::cancel};

std::string pressToPasteHint() {
    return " Press " + std::string(DictationController::pasteChordLabel) + " wherever you'd like it.";
}

std::string nothingHeardMessage() {
    return "Nothing was heard. Press " + std::string(HotkeyManager::label) + " to try again, or ESC to finish.";
}

std::string accessibilityMissingMessage() {
    return "Dictaro needs Accessibility permission to paste. Your transcript is in the clipboard — " +
           std::string(DictationController::pasteChordLabel) +
           " to paste manually. Open Setup… from the menu bar to fix.";
}

// Reads the rewrite to its end off the main actor, showing each step of it
// through `show`, and returns the text to paste.
std::string readRewrite(FormattingStream stream, const std::string& raw,
                        const std::function<void(std::string)>& show) {
    std::string latest;
    try {
        while (const std::string* element = stream.next()) {
            latest = *element;
            show(latest);
        }
    } catch (const std::exception& error) {
        Log::error("formatter", "formatter failed — type=" + platform::unqualifiedTypeName(typeid(error)) +
                                    " error=" + error.what() + ". Pasting raw transcript.");
        return raw;
    }
    // A rewrite cut short may have dropped the end of what was said.
    if (const FormattingEnd ending = stream.ending(); !ending.isComplete()) {
        Log::error("formatter", "formatter ended early — " + ending.description() + ". Pasting raw transcript.");
        return raw;
    }
    const std::string_view result = platform::text::trimmingWhitespacesAndNewlines(latest);
    return result.empty() ? raw : std::string(result);
}

}  // namespace

std::shared_ptr<DictationController> DictationController::create(Dependencies dependencies) {
    std::shared_ptr<DictationController> controller(new DictationController(std::move(dependencies)));
    std::weak_ptr<DictationController> weak = controller;
    controller->deps_.transcription->setOnStatusChange([weak](const TranscriptionStatus& status) {
        if (auto self = weak.lock()) {
            self->refreshView();
            self->handleTranscriptionStatusChange(status);
        }
    });
    controller->deps_.transcription->setOnTranscriptUpdate([weak](const std::string& text) {
        if (auto self = weak.lock()) self->handleTranscriptUpdate(text);
    });
    return controller;
}

DictationController::DictationController(Dependencies dependencies) : deps_(std::move(dependencies)) {}

void DictationController::setFormatting(FormattingConfig config, std::shared_ptr<FormattingService> formatter) {
    formattingConfig_ = std::move(config);
    formatter_ = std::move(formatter);
}

bool DictationController::permissionsGranted() const {
    return deps_.desktop.microphoneAuthorized() && deps_.desktop.accessibilityTrusted();
}

void DictationController::toggleRecording() {
    if (isFormatting_ || isFinishing_) return;
    switch (mode_.kind) {
        case Mode::Kind::practiceTutorial: return;
        case Mode::Kind::practiceResult: {
            endPractice();
            std::weak_ptr<DictationController> weak = weak_from_this();
            deps_.runtime.schedule(practiceHandOverDelay, [weak] {
                auto self = weak.lock();
                if (self && self->permissionsGranted()) self->startRecording();
            });
            return;
        }
        case Mode::Kind::practiceRecording: stopPracticeRecording(); return;
        case Mode::Kind::practiceIntro:
            if (!permissionsGranted()) {
                deps_.desktop.showOnboarding();
                return;
            }
            latestText_.clear();
            mode_ = Mode{Mode::Kind::practiceRecording, {}, {}};
            deps_.desktop.installKeyTap(allTappedRecordingKeys);
            // On a first start the model is often still downloading when the
            // practice begins: the recording then starts as soon as it is ready,
            // instead of listening to nothing.
            practiceStartPending_ = deps_.transcription->status().kind == TranscriptionStatus::Kind::loading;
            if (!practiceStartPending_) deps_.transcription->start();
            refreshView();
            return;
        case Mode::Kind::normal: break;
    }
    const TranscriptionStatus status = deps_.transcription->status();
    switch (status.kind) {
        case TranscriptionStatus::Kind::ready:
            if (!permissionsGranted()) {
                deps_.desktop.showOnboarding();
                return;
            }
            startRecording();
            return;
        case TranscriptionStatus::Kind::recording:
        case TranscriptionStatus::Kind::paused: stopRecording(); return;
        case TranscriptionStatus::Kind::loading:
            showView();
            return;
        case TranscriptionStatus::Kind::error:
            deps_.transcription->recoverFromError();
            if (deps_.transcription->status().kind == TranscriptionStatus::Kind::ready) {
                startRecording();
                return;
            }
            // A failed load is being tried again: show it loading, as during the
            // first load, and take no key, or the keys would stay taken once it
            // is ready with no recording to end.
            showView();
            return;
    }
}

void DictationController::startRecording() {
    cancelTransientDismiss();
    latestText_.clear();
    currentTarget_ = PasteTarget::from(deps_.contextProbe->detect(deps_.desktop.capturedApp()));
    showView();
    deps_.desktop.installKeyTap(allTappedRecordingKeys);
    deps_.transcription->start();
}

void DictationController::stopRecording() {
    if (isFinishing_) return;
    isFinishing_ = true;
    deps_.desktop.removeKeyTap();
    auto self = shared_from_this();
    deps_.transcription->stop([self](std::string raw) { self->finishDictation(raw); });
}

void DictationController::finishDictation(const std::string& raw) {
    Log::info("transcription", "raw transcript (" + std::to_string(platform::text::graphemeCount(raw)) + " chars)");
    if (raw.empty()) {
        isFinishing_ = false;
        deps_.view->dismiss();
        currentTarget_.reset();
        return;
    }
    if (formatter_ && formattingConfig_.enabled) {
        auto self = shared_from_this();
        runFormatter(formatter_, raw, [self](std::string text) { self->pasteText(text); });
        return;
    }
    pasteText(raw);
}

void DictationController::pasteText(const std::string& text) {
    // The application in front now, which may differ from the one shown
    // when the recording began.
    const std::optional<RunningApplication> target = deps_.desktop.capturedApp();
    auto self = shared_from_this();
    deps_.runtime.runInBackground([self, text, target] {
        PasteOutcome outcome = self->deps_.desktop.paste(text, target);
        self->deps_.runtime.postToMain([self, outcome = std::move(outcome)] {
            self->isFinishing_ = false;
            self->handlePasteOutcome(outcome);
        });
    });
}

void DictationController::handlePasteOutcome(const PasteOutcome& outcome) {
    currentTarget_.reset();
    switch (outcome.kind()) {
        case PasteOutcome::Kind::pasted:
        case PasteOutcome::Kind::emptyText: deps_.view->dismiss(); return;
        case PasteOutcome::Kind::noTarget:
            // The paster left the text on the clipboard: say so rather than
            // let the dictation vanish with the panel.
            render(TranscriptDisplay::copied("There was no app to paste into — your transcript is in the clipboard." +
                                             pressToPasteHint()));
            scheduleTransientDismiss(copiedDismissDelay);
            return;
        case PasteOutcome::Kind::copiedOnly:
            render(TranscriptDisplay::copied(outcome.message() + pressToPasteHint()));
            scheduleTransientDismiss(copiedDismissDelay);
            return;
        case PasteOutcome::Kind::accessibilityMissing:
            render(TranscriptDisplay::copied(accessibilityMissingMessage()));
            scheduleTransientDismiss(accessibilityDismissDelay);
            return;
    }
}

void DictationController::runFormatter(std::shared_ptr<FormattingService> formatter, const std::string& raw,
                                       std::function<void(std::string)> done) {
    isFormatting_ = true;
    const ContextProfile profile = deps_.contextProbe->detect(deps_.desktop.capturedApp());
    Log::info("formatter", "context=" + std::string(rawValue(profile.kind)) + " app=" +
                               profile.appName.value_or("?") + " field=" + profile.fieldHint.value_or("-") +
                               " provider=" + std::string(rawValue(formattingConfig_.provider)) +
                               " model=" + formattingConfig_.model());
    const std::optional<PasteTarget> target = currentTarget_;
    render(TranscriptDisplay::formatting(raw, target));
    auto self = shared_from_this();
    deps_.runtime.runInBackground([self, formatter, raw, profile, target, done = std::move(done)] {
        const auto show = [&self, &target](std::string text) {
            self->deps_.runtime.postToMain([self, target, text = std::move(text)] {
                self->render(TranscriptDisplay::formatting(text, target));
            });
        };
        std::string result = readRewrite(formatter->format(raw, profile), raw, show);
        self->deps_.runtime.postToMain([self, done, result = std::move(result)] {
            self->isFormatting_ = false;
            done(result);
        });
    });
}

void DictationController::togglePause() {
    if (mode_.kind == Mode::Kind::practiceTutorial) {
        if (mode_.step == TutorialStep::pause) advanceTutorial(TutorialStep::pause);
        return;
    }
    if (isFinishing_) return;
    const TranscriptionStatus status = deps_.transcription->status();
    if (status.kind == TranscriptionStatus::Kind::paused) {
        deps_.transcription->resume();
    } else if (status.kind == TranscriptionStatus::Kind::recording) {
        deps_.transcription->pause();
    }
}

void DictationController::restartRecording() {
    if (mode_.kind == Mode::Kind::practiceTutorial) {
        if (mode_.step == TutorialStep::restart) advanceTutorial(TutorialStep::restart);
        return;
    }
    if (isFinishing_ || !deps_.transcription->status().isRecordingOrPaused()) return;
    latestText_.clear();
    deps_.transcription->restart();
}

void DictationController::cancelRecording() {
    const TranscriptionStatus status = deps_.transcription->status();
    switch (mode_.kind) {
        case Mode::Kind::practiceTutorial:
            if (mode_.step == TutorialStep::cancel) advanceTutorial(TutorialStep::cancel);
            return;
        case Mode::Kind::practiceIntro:
        case Mode::Kind::practiceRecording:
        case Mode::Kind::practiceResult: {
            // A stop already under way ends the recording; its result finds
            // the practice over and is dropped.
            if (!status.isRecordingOrPaused() || isFinishing_) {
                endPractice();
                return;
            }
            isFinishing_ = true;
            auto self = shared_from_this();
            deps_.transcription->stop([self](const std::string&) {
                self->isFinishing_ = false;
                self->endPractice();
            });
            return;
        }
        case Mode::Kind::normal: break;
    }
    if (isFinishing_) return;
    if (status.isRecordingOrPaused()) {
        isFinishing_ = true;
        auto self = shared_from_this();
        deps_.transcription->stop([self](const std::string&) {
            self->isFinishing_ = false;
            self->deps_.desktop.removeKeyTap();
            self->deps_.view->dismiss();
            self->currentTarget_.reset();
            self->cancelTransientDismiss();
        });
    } else if (status.kind == TranscriptionStatus::Kind::error) {
        deps_.desktop.removeKeyTap();
        deps_.transcription->recoverFromError();
        deps_.view->dismiss();
        currentTarget_.reset();
        cancelTransientDismiss();
    }
}

void DictationController::endPractice() {
    practiceStartPending_ = false;
    deps_.defaults->set(practiceShownKey, platform::JSONNumber::boolean(true));
    mode_ = Mode{};
    deps_.desktop.removeKeyTap();
    deps_.view->dismiss();
}

void DictationController::stopPracticeRecording() {
    if (isFinishing_) return;
    isFinishing_ = true;
    practiceStartPending_ = false;
    auto self = shared_from_this();
    deps_.transcription->stop([self](std::string raw) {
        if (self->formatter_ && self->formattingConfig_.enabled && !raw.empty()) {
            self->runFormatter(self->formatter_, raw, [self](std::string text) { self->showPracticeResult(text); });
            return;
        }
        self->showPracticeResult(raw);
    });
}

void DictationController::showPracticeResult(std::string text) {
    isFinishing_ = false;
    if (mode_.kind != Mode::Kind::practiceRecording) return;
    if (text.empty()) text = nothingHeardMessage();
    mode_ = Mode{Mode::Kind::practiceResult, {}, std::move(text)};
    deps_.desktop.installKeyTap(practiceScreenKeys);
    refreshView();
}

void DictationController::startPractice() {
    if (transientDismiss_) transientDismiss_();
    latestText_.clear();
    currentTarget_.reset();
    mode_ = Mode{Mode::Kind::practiceTutorial, TutorialStep::pause, {}};
    // The tutorial is driven by the panel's buttons: keys taken for a
    // dictation or a practice screen go back to the focused application.
    deps_.desktop.removeKeyTap();
    showView();
}

void DictationController::advanceTutorial(TutorialStep from) {
    switch (from) {
        case TutorialStep::pause: mode_ = Mode{Mode::Kind::practiceTutorial, TutorialStep::restart, {}}; break;
        case TutorialStep::restart: mode_ = Mode{Mode::Kind::practiceTutorial, TutorialStep::cancel, {}}; break;
        case TutorialStep::cancel:
            mode_ = Mode{Mode::Kind::practiceIntro, {}, {}};
            deps_.desktop.installKeyTap(practiceScreenKeys);
            break;
    }
    refreshView();
}

void DictationController::performTappedKey(TappedRecordingKey key) {
    // A key taken just before the tutorial began must not stop and paste.
    if (mode_.kind == Mode::Kind::practiceTutorial) return;
    switch (key) {
        case TappedRecordingKey::cancel: cancelRecording(); return;
        case TappedRecordingKey::pause: togglePause(); return;
        case TappedRecordingKey::restart: restartRecording(); return;
        case TappedRecordingKey::stop:
            if (!deps_.transcription->status().isRecordingOrPaused()) return;
            if (mode_.kind == Mode::Kind::practiceRecording) {
                stopPracticeRecording();
            } else {
                stopRecording();
            }
            return;
    }
}

void DictationController::scheduleTransientDismiss(std::chrono::milliseconds delay) {
    cancelTransientDismiss();
    std::weak_ptr<DictationController> weak = weak_from_this();
    transientDismiss_ = deps_.runtime.schedule(delay, [weak] {
        if (auto self = weak.lock()) self->deps_.view->dismiss();
    });
}

void DictationController::cancelTransientDismiss() {
    if (transientDismiss_) transientDismiss_();
    transientDismiss_ = nullptr;
}

void DictationController::handleTranscriptionStatusChange(const TranscriptionStatus& status) {
    if (status.kind == TranscriptionStatus::Kind::ready && practiceStartPending_) {
        practiceStartPending_ = false;
        if (mode_.kind == Mode::Kind::practiceRecording && !isFinishing_) deps_.transcription->start();
        return;
    }
    if (status.kind != TranscriptionStatus::Kind::error) return;
    practiceStartPending_ = false;
    deps_.desktop.removeKeyTap();
    currentTarget_.reset();
    scheduleTransientDismiss(errorDismissDelay);
}

void DictationController::handleTranscriptUpdate(const std::string& text) {
    latestText_ = text;
    refreshView();
}

TranscriptDisplay DictationController::display() const {
    switch (mode_.kind) {
        case Mode::Kind::practiceIntro: return TranscriptDisplay::practiceIntro();
        case Mode::Kind::practiceTutorial: return TranscriptDisplay::tutorial(mode_.step);
        case Mode::Kind::practiceRecording: return TranscriptDisplay::listening(latestText_, std::nullopt);
        case Mode::Kind::practiceResult: return TranscriptDisplay::practiceResult(mode_.text);
        case Mode::Kind::normal: break;
    }
    const TranscriptionStatus status = deps_.transcription->status();
    switch (status.kind) {
        case TranscriptionStatus::Kind::loading: return TranscriptDisplay::loading(status.downloadPercent);
        case TranscriptionStatus::Kind::ready: return TranscriptDisplay::ready();
        case TranscriptionStatus::Kind::recording: return TranscriptDisplay::listening(latestText_, currentTarget_);
        case TranscriptionStatus::Kind::paused: return TranscriptDisplay::paused(latestText_, currentTarget_);
        case TranscriptionStatus::Kind::error: return TranscriptDisplay::error(status.message);
    }
    return TranscriptDisplay::loading();
}

void DictationController::refreshView() {
    if (isFormatting_) return;
    render(display());
}

void DictationController::showView() {
    refreshView();
    if (!deps_.view->isVisible()) deps_.view->showAtPersistedPosition();
}

void DictationController::render(const TranscriptDisplay& display) {
    deps_.view->render(display);
}

}  // namespace dictaro
