#include "app/dictation/DictationController.h"

#include <gtest/gtest.h>

#include "app/dictation/Log.h"

#include <algorithm>
#include <deque>

#include "app/formatting/FormattingError.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDirectory.h"

namespace dictaro {
namespace {

using namespace std::chrono_literals;
using Kind = TranscriptDisplay::Kind;

// The main actor, the background and the clock, all run by the test.
struct ManualRuntime {
    struct Timer {
        std::chrono::milliseconds due;
        std::function<void()> job;
        std::shared_ptr<bool> cancelled;
    };
    std::deque<std::function<void()>> main;
    std::deque<std::function<void()>> background;
    std::vector<Timer> timers;
    std::chrono::milliseconds now{0};

    DictationRuntime runtime() {
        DictationRuntime runtime;
        runtime.postToMain = [this](std::function<void()> job) { main.push_back(std::move(job)); };
        runtime.runInBackground = [this](std::function<void()> job) { background.push_back(std::move(job)); };
        runtime.schedule = [this](std::chrono::milliseconds delay, std::function<void()> job) {
            auto cancelled = std::make_shared<bool>(false);
            timers.push_back({now + delay, std::move(job), cancelled});
            return [cancelled] { *cancelled = true; };
        };
        return runtime;
    }
    // Runs everything queued, and what that queues in turn.
    void settle() {
        while (!main.empty() || !background.empty()) {
            auto& queue = background.empty() ? main : background;
            auto job = std::move(queue.front());
            queue.pop_front();
            job();
        }
    }
    void advance(std::chrono::milliseconds by) {
        now += by;
        std::vector<Timer> due;
        std::erase_if(timers, [&](Timer& timer) {
            if (timer.due > now) return false;
            due.push_back(std::move(timer));
            return true;
        });
        for (auto& timer : due) {
            if (!*timer.cancelled) main.push_back(std::move(timer.job));
        }
        settle();
    }
};

struct FakeView final : DictationView {
    std::vector<TranscriptDisplay> rendered;
    bool visible = false;
    int shows = 0;

    void render(const TranscriptDisplay& display) override { rendered.push_back(display); }
    bool isVisible() const override { return visible; }
    void showAtPersistedPosition() override {
        visible = true;
        ++shows;
    }
    void dismiss() override { visible = false; }
    const TranscriptDisplay& last() const { return rendered.back(); }
};

// Reports like the real service: status changes once each, a fresh
// recording's transcript starts empty.
struct FakeService final : TranscriptionControl {
    TranscriptionStatus current = TranscriptionStatus::ready();
    StatusHandler onStatus;
    TranscriptHandler onText;
    std::string transcript;
    bool holdStop = false;
    bool reloadsOnRecovery = false;  // as after a failed model load
    std::vector<std::function<void(std::string)>> pendingStops;
    std::vector<std::string> calls;

    TranscriptionStatus status() const override { return current; }
    void setOnStatusChange(StatusHandler handler) override { onStatus = std::move(handler); }
    void setOnTranscriptUpdate(TranscriptHandler handler) override { onText = std::move(handler); }
    void set(TranscriptionStatus status) {
        if (status == current) return;
        current = std::move(status);
        onStatus(current);
    }
    void say(const std::string& text) {
        transcript = text;
        onText(text);
    }
    void start() override {
        calls.push_back("start");
        if (current != TranscriptionStatus::ready()) return;
        transcript.clear();
        set(TranscriptionStatus::recording());
        onText("");
    }
    void stop(std::function<void(std::string)> done) override {
        calls.push_back("stop");
        pendingStops.push_back(std::move(done));
        if (!holdStop) finishStops();
    }
    void finishStops() {
        auto stops = std::move(pendingStops);
        pendingStops.clear();
        for (auto& done : stops) {
            std::string text = std::exchange(transcript, {});
            set(TranscriptionStatus::ready());
            done(text);
        }
    }
    void pause() override {
        calls.push_back("pause");
        if (current == TranscriptionStatus::recording()) set(TranscriptionStatus::paused());
    }
    void resume() override {
        calls.push_back("resume");
        if (current == TranscriptionStatus::paused()) set(TranscriptionStatus::recording());
    }
    void restart() override {
        calls.push_back("restart");
        transcript.clear();
        onText("");
    }
    void recoverFromError() override {
        calls.push_back("recover");
        if (current.kind == TranscriptionStatus::Kind::error) set(reloadsOnRecovery ? TranscriptionStatus::loading() : TranscriptionStatus::ready());
    }
};

struct UntrustedAccessibility final : AccessibilityReader {
    bool isProcessTrusted() const override { return false; }
    std::unique_ptr<FocusedElement> focusedElement(int) const override { return nullptr; }
};

// A provider that answers with fixed pieces and ends as told, or fails.
struct ScriptedFormatter final : FormattingService {
    std::vector<std::string> pieces;
    FormattingEnd::Kind ending = FormattingEnd::Kind::complete;
    bool fails = false;

    FormattingStream format(const std::string&, const ContextProfile&) const override {
        return FormattingStream::start([pieces = pieces, ending = ending, fails = fails](const auto& yield) {
            for (const auto& piece : pieces) yield(piece);
            if (fails) throw FormattingError::badResponse(500);
            return FormattingEnd{ending, {}};
        });
    }
};

const platform::RunningApplication kEditor{"org.gnome.TextEditor", "Text Editor", 4242, 0x400001};

class DictationControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        logs = testsupport::LogLines::install();
        DictationDesktop desktop;
        desktop.capturedApp = [this] { return captured; };
        desktop.paste = [this](const std::string& text, const std::optional<RunningApplication>& target) {
            pastes.emplace_back(text, target);
            return outcome;
        };
        desktop.installKeyTap = [this](std::span<const TappedRecordingKey> keys) {
            tapInstalled = true;
            tappedKeys.assign(keys.begin(), keys.end());
        };
        desktop.removeKeyTap = [this] {
            tapInstalled = false;
            tappedKeys.clear();
        };
        desktop.microphoneAuthorized = [this] { return microphone; };
        desktop.accessibilityTrusted = [this] { return accessibility; };
        desktop.showOnboarding = [this] { ++onboardings; };
        defaults = std::make_shared<platform::UserDefaults>(folder.path() / "settings.json");
        controller = DictationController::create({clock.runtime(), std::move(desktop), view, service,
                                                  std::make_shared<ContextProbe>(std::make_shared<UntrustedAccessibility>()),
                                                  defaults});
    }
    void TearDown() override {
        // The log's writer must be idle before the process ends.
        Log::waitUntilWritten();
        logs->uninstall();
    }

    void formatWith(std::shared_ptr<FormattingService> formatter) {
        FormattingConfig config;
        config.enabled = true;
        controller->setFormatting(config, std::move(formatter));
    }
    // Hot key, the words, hot key: the dictation up to its paste.
    void dictate(const std::string& words) {
        controller->toggleRecording();
        service->say(words);
        controller->toggleRecording();
    }
    bool logged(const std::string& line) {
        const auto texts = logs->texts();
        return std::find(texts.begin(), texts.end(), line) != texts.end();
    }
    std::vector<Kind> renderedKinds() const {
        std::vector<Kind> kinds;
        for (const auto& display : view->rendered) kinds.push_back(display.kind);
        return kinds;
    }

    testsupport::TempDirectory folder;
    std::shared_ptr<testsupport::LogLines> logs;
    ManualRuntime clock;
    std::shared_ptr<FakeView> view = std::make_shared<FakeView>();
    std::shared_ptr<FakeService> service = std::make_shared<FakeService>();
    std::shared_ptr<platform::UserDefaults> defaults;
    std::optional<RunningApplication> captured = kEditor;
    PasteOutcome outcome = PasteOutcome::pasted("Text Editor");
    std::vector<std::pair<std::string, std::optional<RunningApplication>>> pastes;
    bool tapInstalled = false;
    std::vector<TappedRecordingKey> tappedKeys;
    bool microphone = true;
    bool accessibility = true;
    int onboardings = 0;
    std::shared_ptr<DictationController> controller;
};

TEST_F(DictationControllerTest, HotKeyWhileTheModelLoadsShowsLoadingAndRecordsNothing) {
    service->current = TranscriptionStatus::loading();
    controller->toggleRecording();
    controller->toggleRecording();
    EXPECT_TRUE(view->visible);
    EXPECT_EQ(view->shows, 1);
    EXPECT_EQ(view->last(), TranscriptDisplay::loading());
    EXPECT_TRUE(service->calls.empty());
    EXPECT_FALSE(tapInstalled);
    // The open panel follows the download.
    service->set(TranscriptionStatus::loading(37));
    EXPECT_EQ(view->last(), TranscriptDisplay::loading(37));
}

TEST_F(DictationControllerTest, ADictationShowsItsTargetThenPastesIntoTheAppInFrontAtTheEnd) {
    controller->toggleRecording();
    EXPECT_TRUE(view->visible);
    EXPECT_TRUE(tapInstalled);
    service->say("hello wörld");
    const PasteTarget target{"Text Editor", ContextProfile::Kind::generic, std::nullopt};
    EXPECT_EQ(view->last(), TranscriptDisplay::listening("hello wörld", target));
    controller->togglePause();
    EXPECT_EQ(view->last(), TranscriptDisplay::paused("hello wörld", target));

    // The user moved to another window before stopping: that one gets the text.
    const RunningApplication terminal{"org.gnome.Terminal", "Terminal", 77, 0x500001};
    captured = terminal;
    controller->toggleRecording();
    EXPECT_FALSE(tapInstalled);
    clock.settle();
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0].first, "hello wörld");
    EXPECT_EQ(pastes[0].second, terminal);
    EXPECT_TRUE(logged("[transcription] raw transcript (11 chars)"));
    EXPECT_FALSE(view->visible);
}

TEST_F(DictationControllerTest, AnEmptyTranscriptClosesThePanelWithoutPasting) {
    dictate("");
    clock.settle();
    EXPECT_TRUE(pastes.empty());
    EXPECT_FALSE(view->visible);
    EXPECT_TRUE(logged("[transcription] raw transcript (0 chars)"));
}

TEST_F(DictationControllerTest, CancelDropsTheTranscriptWithoutALogLineOrPaste) {
    controller->toggleRecording();
    service->say("never mind");
    controller->cancelRecording();
    clock.settle();
    EXPECT_TRUE(pastes.empty());
    EXPECT_FALSE(view->visible);
    EXPECT_FALSE(tapInstalled);
    for (const auto& line : logs->texts()) EXPECT_EQ(line.find("raw transcript"), std::string::npos) << line;
}

TEST_F(DictationControllerTest, TheRewriteIsPastedOnlyWhenItEndedProperly) {
    struct Case {
        std::string name;
        std::shared_ptr<ScriptedFormatter> formatter;
        bool enabled;
        std::string pasted;
        std::string logLine;
    };
    auto formatter = [](std::vector<std::string> pieces, FormattingEnd::Kind ending, bool fails) {
        auto made = std::make_shared<ScriptedFormatter>();
        made->pieces = std::move(pieces);
        made->ending = ending;
        made->fails = fails;
        return made;
    };
    const std::vector<Case> cases{
        {"complete", formatter({"Hello", " there.\n"}, FormattingEnd::Kind::complete, false), true, "Hello there.", ""},
        {"disabled", formatter({"Hello"}, FormattingEnd::Kind::complete, false), false, "hello there", ""},
        {"no service", nullptr, true, "hello there", ""},
        {"only blanks", formatter({" \n "}, FormattingEnd::Kind::complete, false), true, "hello there", ""},
        {"provider error", formatter({"Hel"}, FormattingEnd::Kind::complete, true), true, "hello there",
         "[formatter] formatter failed — type=FormattingError error=Formatting backend returned HTTP 500. "
         "Pasting raw transcript."},
        {"cut short", formatter({"Hello"}, FormattingEnd::Kind::noEndMarker, false), true, "hello there",
         "[formatter] formatter ended early — the answer ended before the provider finished it. "
         "Pasting raw transcript."},
        {"length limit", formatter({"Hello"}, FormattingEnd::Kind::lengthLimit, false), true, "hello there",
         "[formatter] formatter ended early — the answer reached its length limit. Pasting raw transcript."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pastes.clear();
        view->rendered.clear();
        FormattingConfig config;
        config.enabled = c.enabled;
        controller->setFormatting(config, c.formatter);
        dictate("hello there");
        clock.settle();
        ASSERT_EQ(pastes.size(), 1u);
        EXPECT_EQ(pastes[0].first, c.pasted);
        if (!c.logLine.empty()) {
            EXPECT_TRUE(logged(c.logLine));
        }
        const bool formatted = c.enabled && c.formatter;
        const auto kinds = renderedKinds();
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), Kind::formatting) > 0, formatted);
        if (!formatted) {
            EXPECT_EQ(view->last(), TranscriptDisplay::ready());
        }
    }
    EXPECT_TRUE(logged("[formatter] context=generic app=Text Editor field=- provider=ollama model=" +
                       FormattingConfig{}.model()));
}

TEST_F(DictationControllerTest, CommandsWhileTheRewriteRunsChangeNothing) {
    auto formatter = std::make_shared<ScriptedFormatter>();
    formatter->pieces = {"Tidy text."};
    formatWith(formatter);
    dictate("tidy text");
    const PasteTarget target{"Text Editor", ContextProfile::Kind::generic, std::nullopt};
    EXPECT_EQ(view->last(), TranscriptDisplay::formatting("tidy text", target));
    controller->toggleRecording();
    controller->cancelRecording();
    controller->togglePause();
    service->onStatus(service->current);  // a redraw from the service must not cover the rewrite
    EXPECT_EQ(view->last(), TranscriptDisplay::formatting("tidy text", target));
    clock.settle();
    EXPECT_EQ(std::count(service->calls.begin(), service->calls.end(), "start"), 1);
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0].first, "Tidy text.");
}

TEST_F(DictationControllerTest, CommandsBetweenTheStopAndThePasteOutcomeStartNothing) {
    service->holdStop = true;
    dictate("first");
    // The service is still stopping: a second stop or a cancel would end it twice.
    controller->toggleRecording();
    controller->cancelRecording();
    service->finishStops();
    EXPECT_EQ(std::count(service->calls.begin(), service->calls.end(), "stop"), 1);
    // The paste is under way; a hot key now would start a dictation that the
    // outcome would close.
    ASSERT_EQ(clock.background.size(), 1u);
    controller->toggleRecording();
    EXPECT_EQ(std::count(service->calls.begin(), service->calls.end(), "start"), 1);
    clock.settle();
    EXPECT_FALSE(view->visible);
    controller->toggleRecording();
    EXPECT_EQ(service->current, TranscriptionStatus::recording());
    EXPECT_TRUE(view->visible);
}

TEST_F(DictationControllerTest, EachPasteOutcomeEndsTheDictationAsTheUserNeedsToKnow) {
    struct Case {
        PasteOutcome outcome;
        std::optional<std::string> message;  // none: the panel closes at once
        std::chrono::milliseconds closesAfter;
    };
    const std::vector<Case> cases{
        {PasteOutcome::pasted("Text Editor"), std::nullopt, 0ms},
        {PasteOutcome::emptyText(), std::nullopt, 0ms},
        {PasteOutcome::copiedOnly("Text Editor didn't take the pasted text — your transcript is in the clipboard."),
         "Text Editor didn't take the pasted text — your transcript is in the clipboard. Press Ctrl+V wherever "
         "you'd like it.",
         4500ms},
        {PasteOutcome::noTarget(),
         "There was no app to paste into — your transcript is in the clipboard. Press Ctrl+V wherever you'd like it.",
         4500ms},
        {PasteOutcome::accessibilityMissing(),
         "Dictaro needs Accessibility permission to paste. Your transcript is in the clipboard — Ctrl+V to paste "
         "manually. Open Setup… from the menu bar to fix.",
         5000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message.value_or("closes at once"));
        outcome = c.outcome;
        dictate("some words");
        clock.settle();
        if (!c.message) {
            EXPECT_FALSE(view->visible);
            continue;
        }
        EXPECT_EQ(view->last(), TranscriptDisplay::copied(*c.message));
        clock.advance(c.closesAfter - 1ms);
        EXPECT_TRUE(view->visible);
        clock.advance(1ms);
        EXPECT_FALSE(view->visible);
    }
}

TEST_F(DictationControllerTest, AHotKeyWhileTheCopiedMessageShowsKeepsTheNewDictationOpen) {
    outcome = PasteOutcome::copiedOnly("Terminal doesn't accept pasted text — your transcript is in the clipboard.");
    dictate("words");
    clock.settle();
    clock.advance(2000ms);
    controller->toggleRecording();
    clock.advance(5000ms);
    EXPECT_TRUE(view->visible);
    EXPECT_EQ(view->last().kind, Kind::listening);
}

TEST_F(DictationControllerTest, StartingOverKeepsRecordingAndTheKeys) {
    controller->toggleRecording();
    service->say("wrong words");
    controller->performTappedKey(TappedRecordingKey::restart);
    EXPECT_EQ(view->last(), TranscriptDisplay::listening("", PasteTarget{"Text Editor", ContextProfile::Kind::generic, {}}));
    EXPECT_TRUE(tapInstalled);
    controller->performTappedKey(TappedRecordingKey::pause);
    EXPECT_EQ(service->current, TranscriptionStatus::paused());
    controller->performTappedKey(TappedRecordingKey::pause);
    service->say("right words");
    controller->performTappedKey(TappedRecordingKey::stop);
    clock.settle();
    ASSERT_EQ(pastes.size(), 1u);
    EXPECT_EQ(pastes[0].first, "right words");
    EXPECT_EQ(service->calls, (std::vector<std::string>{"start", "restart", "pause", "resume", "stop"}));
}

TEST_F(DictationControllerTest, AServiceErrorShowsThenClosesAndTheNextHotKeyRecovers) {
    controller->toggleRecording();
    service->set(TranscriptionStatus::error("Stream failed: no microphone"));
    EXPECT_EQ(view->last(), TranscriptDisplay::error("Stream failed: no microphone"));
    EXPECT_FALSE(tapInstalled);
    clock.advance(4999ms);
    EXPECT_TRUE(view->visible);
    clock.advance(1ms);
    EXPECT_FALSE(view->visible);
    controller->toggleRecording();
    EXPECT_EQ(service->current, TranscriptionStatus::recording());
    EXPECT_TRUE(view->visible);
    EXPECT_TRUE(tapInstalled);
}

TEST_F(DictationControllerTest, AHotKeyAfterAFailedLoadShowsTheReloadAndTakesNoKey) {
    service->current = TranscriptionStatus::error("Couldn't load model");
    service->reloadsOnRecovery = true;
    controller->toggleRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::loading());
    EXPECT_TRUE(view->visible);
    service->set(TranscriptionStatus::ready());
    EXPECT_FALSE(tapInstalled);
    EXPECT_EQ(service->calls, std::vector<std::string>{"recover"});
}

TEST_F(DictationControllerTest, AMissingPermissionOpensTheSetupInsteadOfRecording) {
    for (const auto& [mic, ax] : {std::pair{false, true}, std::pair{true, false}}) {
        microphone = mic;
        accessibility = ax;
        controller->toggleRecording();
    }
    EXPECT_EQ(onboardings, 2);
    EXPECT_TRUE(service->calls.empty());
    EXPECT_FALSE(view->visible);
}

TEST_F(DictationControllerTest, TheTutorialAdvancesOnlyOnTheHighlightedControl) {
    controller->startPractice();
    EXPECT_TRUE(view->visible);
    EXPECT_EQ(view->last(), TranscriptDisplay::tutorial(TutorialStep::pause));
    controller->restartRecording();
    controller->cancelRecording();
    controller->toggleRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::tutorial(TutorialStep::pause));
    controller->togglePause();
    EXPECT_EQ(view->last(), TranscriptDisplay::tutorial(TutorialStep::restart));
    controller->restartRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::tutorial(TutorialStep::cancel));
    EXPECT_FALSE(tapInstalled);
    controller->cancelRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::practiceIntro());
    EXPECT_TRUE(tapInstalled);
    EXPECT_TRUE(service->calls.empty());
}

TEST_F(DictationControllerTest, APracticeDictationIsShownNeverPastedAndTheHotKeyHandsOverToARealOne) {
    auto formatter = std::make_shared<ScriptedFormatter>();
    formatter->pieces = {"Practice makes perfect."};
    formatWith(formatter);
    controller->startPractice();
    controller->togglePause();
    controller->restartRecording();
    controller->cancelRecording();
    controller->toggleRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::listening("", std::nullopt));
    service->say("practice makes perfect");
    controller->performTappedKey(TappedRecordingKey::stop);
    clock.settle();
    EXPECT_EQ(view->last(), TranscriptDisplay::practiceResult("Practice makes perfect."));
    EXPECT_TRUE(pastes.empty());

    controller->toggleRecording();
    EXPECT_FALSE(view->visible);
    EXPECT_FALSE(tapInstalled);
    EXPECT_EQ(defaults->boolean(DictationController::practiceShownKey), true);
    clock.advance(199ms);
    EXPECT_EQ(service->current, TranscriptionStatus::ready());
    clock.advance(1ms);
    EXPECT_EQ(service->current, TranscriptionStatus::recording());
    EXPECT_EQ(view->last().kind, Kind::listening);
    EXPECT_TRUE(tapInstalled);
}

TEST_F(DictationControllerTest, EscOnAnEmptyPracticeResultEndsThePractice) {
    controller->startPractice();
    controller->togglePause();
    controller->restartRecording();
    controller->cancelRecording();
    controller->toggleRecording();
    controller->toggleRecording();
    clock.settle();
    EXPECT_EQ(view->last(),
              TranscriptDisplay::practiceResult("Nothing was heard. Press Super+Alt+M to try again, or ESC to finish."));
    controller->performTappedKey(TappedRecordingKey::cancel);
    EXPECT_FALSE(view->visible);
    EXPECT_FALSE(tapInstalled);
    EXPECT_EQ(defaults->boolean(DictationController::practiceShownKey), true);
    clock.advance(1000ms);
    EXPECT_EQ(service->current, TranscriptionStatus::ready());
}

TEST_F(DictationControllerTest, APracticeResultThatArrivesAfterEscEndedThePracticeIsDropped) {
    controller->startPractice();
    controller->togglePause();
    controller->restartRecording();
    controller->cancelRecording();
    controller->toggleRecording();
    service->holdStop = true;
    service->say("late words");
    controller->performTappedKey(TappedRecordingKey::stop);
    controller->performTappedKey(TappedRecordingKey::cancel);
    EXPECT_FALSE(view->visible);
    const auto shown = view->rendered.size();
    service->finishStops();
    clock.settle();
    EXPECT_TRUE(std::none_of(view->rendered.begin() + static_cast<std::ptrdiff_t>(shown), view->rendered.end(),
                             [](const TranscriptDisplay& display) { return display.kind == Kind::practiceResult; }))
        << "the ended practice must not show its result";
    EXPECT_FALSE(tapInstalled);
    // The hot key is a real dictation's again.
    controller->toggleRecording();
    EXPECT_EQ(service->current, TranscriptionStatus::recording());
    EXPECT_EQ(view->last().kind, Kind::listening);
}

TEST_F(DictationControllerTest, APracticeAskedForWhileTheModelLoadsRecordsOnceItIsReady) {
    controller->startPractice();
    controller->togglePause();
    controller->restartRecording();
    controller->cancelRecording();
    service->current = TranscriptionStatus::loading();
    controller->toggleRecording();
    EXPECT_EQ(view->last(), TranscriptDisplay::listening("", std::nullopt));
    service->set(TranscriptionStatus::loading(80));
    EXPECT_TRUE(service->calls.empty());
    service->set(TranscriptionStatus::ready());
    EXPECT_EQ(service->current, TranscriptionStatus::recording());
    service->say("practice");
    controller->performTappedKey(TappedRecordingKey::stop);
    clock.settle();
    EXPECT_EQ(view->last(), TranscriptDisplay::practiceResult("practice"));
    EXPECT_EQ(service->calls, (std::vector<std::string>{"start", "stop"}));
}

TEST_F(DictationControllerTest, ThePracticeTakesOnlyTheKeysThatActOnEachScreen) {
    using K = TappedRecordingKey;
    const std::vector<K> all{K::cancel, K::pause, K::restart, K::stop};
    struct Screen {
        const char* name;
        std::function<void()> reach;
        std::vector<K> taken;
        bool othersInert;  // the keys left to the focused application would do nothing here
    };
    const Screen screens[] = {
        {"tutorial", [&] { controller->startPractice(); }, {}, false},
        {"intro",
         [&] {
             controller->togglePause();
             controller->restartRecording();
             controller->cancelRecording();
         },
         {K::cancel}, true},
        {"recording", [&] { controller->toggleRecording(); }, all, false},
        {"result",
         [&] {
             controller->performTappedKey(K::stop);
             clock.settle();
         },
         {K::cancel}, true},
        {"real dictation",
         [&] {
             controller->toggleRecording();
             clock.advance(DictationController::practiceHandOverDelay);
         },
         all, false},
        // "Run Practice Again" while dictating: the tutorial is driven by the
        // panel's buttons alone, and Return must not stop and paste.
        {"tutorial during a dictation", [&] { controller->startPractice(); }, {}, true},
    };
    for (const Screen& screen : screens) {
        SCOPED_TRACE(screen.name);
        screen.reach();
        EXPECT_EQ(tappedKeys, screen.taken);
        EXPECT_EQ(tapInstalled, !screen.taken.empty());
        if (!screen.othersInert) continue;
        const auto shown = view->rendered.size();
        const auto calls = service->calls.size();
        for (K key : {K::pause, K::restart, K::stop}) controller->performTappedKey(key);
        clock.settle();
        EXPECT_EQ(view->rendered.size(), shown);
        EXPECT_EQ(service->calls.size(), calls);
        EXPECT_EQ(tappedKeys, screen.taken);
    }
}

}  // namespace
}  // namespace dictaro
