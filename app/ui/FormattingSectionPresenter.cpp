#include "app/ui/FormattingSectionPresenter.h"

#include <algorithm>
#include <exception>

#include "app/formatting/ProgramLauncher.h"
#include "app/ui/APIKeyWriter.h"
#include "app/ui/OllamaControls.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/MainActor.h"
#include "platform/concurrency/Sleep.h"
#include "platform/settings/NotificationCenter.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {

namespace {

constexpr const char* kInvalidHost = "\u2717 Invalid URL";
constexpr const char* kKeyNotSaved = "\u2717 Couldn't save the API key to the keyring.";

bool isLocal(const FormattingConfig& config) { return config.provider == FormattingProvider::ollama; }

// A pause that a cancellation may cut short; says whether it ran its course.
bool pause(std::chrono::milliseconds duration) {
    try {
        platform::sleep(duration);
        return !platform::isCancelled();
    } catch (const platform::CancellationError&) {
        return false;
    }
}

}  // namespace

std::optional<std::string> apiKeyPageURL(FormattingProvider provider) {
    switch (provider) {
        case FormattingProvider::anthropic: return "https://console.anthropic.com/settings/keys";
        case FormattingProvider::openai: return "https://platform.openai.com/api-keys";
        case FormattingProvider::gemini: return "https://aistudio.google.com/app/apikey";
        case FormattingProvider::zaiGLM: return "https://z.ai/manage-apikey/apikey-list";
        case FormattingProvider::ollama: break;
    }
    return std::nullopt;
}

std::shared_ptr<FormattingSectionPresenter> FormattingSectionPresenter::create(
    std::shared_ptr<platform::UserDefaults> defaults, ProviderProbe probe) {
    return std::make_shared<FormattingSectionPresenter>(Passkey{}, std::move(defaults), std::move(probe));
}

FormattingSectionPresenter::FormattingSectionPresenter(Passkey, std::shared_ptr<platform::UserDefaults> defaults,
                                                       ProviderProbe probe)
    : defaults_(std::move(defaults)), probe_(std::move(probe)), config_(FormattingConfig::fromDefaults(*defaults_)) {
    loadFromConfig();
}

FormattingSectionPresenter::~FormattingSectionPresenter() {
    if (validationTask_) validationTask_->cancel();
    if (pollTask_) pollTask_->cancel();
    if (pullTask_) pullTask_->cancel();
}

void FormattingSectionPresenter::activate() {
    config_ = FormattingConfig::fromDefaults(*defaults_);
    loadFromConfig();
    if (isLocal(config_) && config_.enabled) {
        startOllamaPolling();
    } else {
        scheduleValidation(false);
    }
    changed();
}

void FormattingSectionPresenter::deactivate() {
    stopOllamaPolling();
    // The download ends through its own finish, which also forgets it; a new
    // one cannot start before then.
    if (pullTask_) pullTask_->cancel();
    cancelValidation();
    changed();
}

void FormattingSectionPresenter::toggleEnabled(bool on) {
    config_.enabled = on;
    state_.enabled = on;
    refreshVisibility();
    switchMode();
    persist();
    changed();
}

void FormattingSectionPresenter::providerChanged(std::size_t index) {
    if (index >= kAllFormattingProviders.size()) return;
    // Each provider keeps the model chosen for it: the switch only changes
    // which one is shown.
    config_.provider = kAllFormattingProviders[index];
    state_.providerIndex = index;
    reloadModelAndKey();
    refreshVisibility();
    if (persist()) switchMode();
    changed();
}

void FormattingSectionPresenter::modelEntered(const std::string& text) {
    const std::string model(platform::text::trimmingWhitespacesAndNewlines(text));
    if (model.empty()) return;
    config_.modelByProvider[config_.provider] = model;
    state_.modelText = model;
    refreshOllamaSection();
    if (persist()) scheduleValidation(true);
    changed();
}

void FormattingSectionPresenter::apiKeyChanged(const std::string& text) {
    state_.apiKeyText = text;
    writeKey(text);
    scheduleValidation(true);
    changed();
}

void FormattingSectionPresenter::apiKeyEditingEnded(const std::string& text) { apiKeyChanged(text); }

void FormattingSectionPresenter::hostEditingEnded(const std::string& text) {
    state_.hostText = text;
    const std::optional<platform::URL> host = FormattingConfig::ollamaHostURL(text);
    if (!host) {
        state_.status = {kInvalidHost, StatusTone::red};
        changed();
        return;
    }
    config_.ollamaHost = *host;
    if (persist()) refreshHealth();
    changed();
}

void FormattingSectionPresenter::openAPIKeyHelp() {
    if (std::optional<std::string> page = apiKeyPageURL(config_.provider)) launchProgram("xdg-open", {*page});
}

void FormattingSectionPresenter::daemonActionClicked() {
    OllamaSetup::launchOrInstall();
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    platform::Task<void>([weak] {
        pause(kRecheckAfterLaunch);
        later(weak, [](FormattingSectionPresenter& section) { section.refreshHealth(); });
    });
}

void FormattingSectionPresenter::modelActionClicked() {
    const std::string model = config_.model();
    const platform::URL host = config_.ollamaHost;
    ollama_controls::showPullStarted(state_.ollama);
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    pullTask_.emplace([weak, model, host] {
        try {
            // The server's progress lines arrive on the main actor.
            OllamaSetup::pull(model, host, [weak](const OllamaSetup::PullProgress& progress) {
                if (auto self = weak.lock()) self->handlePullProgress(progress);
            });
            later(weak, [model](auto& section) { section.finishPullSuccess(model); });
        } catch (const std::exception& error) {
            const std::string reason = error.what();
            later(weak, [reason](auto& section) { section.finishPullFailure(reason); });
        }
    });
    changed();
}

void FormattingSectionPresenter::loadFromConfig() {
    state_.enabled = config_.enabled;
    const auto found = std::find(kAllFormattingProviders.begin(), kAllFormattingProviders.end(), config_.provider);
    if (found != kAllFormattingProviders.end()) {
        state_.providerIndex = static_cast<std::size_t>(found - kAllFormattingProviders.begin());
    }
    reloadModelAndKey();
    state_.hostText = config_.ollamaHost.absoluteString();
    refreshVisibility();
    refreshOllamaSection();
    state_.status = {};
}

void FormattingSectionPresenter::reloadModelAndKey() {
    state_.modelItems = suggestedModels(config_.provider);
    state_.modelText = config_.model();
    state_.apiKeyText = needsAPIKey(config_.provider) ? APIKeyWriter::shared().key(config_.provider) : "";
}

void FormattingSectionPresenter::refreshVisibility() {
    const bool local = isLocal(config_);
    state_.apiKeyRowVisible = !local;
    state_.hostRowVisible = local;
    state_.ollamaSectionVisible = local && config_.enabled;
    const std::optional<std::string> page = apiKeyPageURL(config_.provider);
    state_.getKeyButtonVisible = page.has_value();
    state_.getKeyTitle = page ? "Get a " + std::string(displayName(config_.provider)) + " API key \u2192" : "";
    state_.getKeyToolTip = page.value_or("");
    state_.controlsEnabled = config_.enabled;
}

bool FormattingSectionPresenter::persist() {
    try {
        config_.save(*defaults_);
    } catch (const std::exception& error) {
        state_.status = {"\u2717 Couldn't save the settings: " + std::string(error.what()), StatusTone::red};
        return false;
    }
    announce();
    return true;
}

void FormattingSectionPresenter::announce() {
    platform::NotificationCenter::defaultCenter().post(FormattingConfig::notificationName);
}

void FormattingSectionPresenter::writeKey(const std::string& text) {
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    APIKeyWriter::shared().write(config_.provider, text, [weak](bool stored) {
        later(weak, [stored](FormattingSectionPresenter& section) { section.keyWritten(stored); });
    });
}

void FormattingSectionPresenter::keyWritten(bool stored) {
    // The key is no part of the settings file: rewriting that unchanged on
    // every keystroke would only cost the typing two disk flushes.
    if (stored) {
        announce();
    } else {
        cancelValidation();
        state_.status = {kKeyNotSaved, StatusTone::red};
    }
    changed();
}

void FormattingSectionPresenter::switchMode() {
    if (isLocal(config_) && config_.enabled) {
        startOllamaPolling();
        cancelValidation();
        state_.status = {};
    } else {
        stopOllamaPolling();
        scheduleValidation(true);
    }
}

void FormattingSectionPresenter::scheduleValidation(bool debounced) {
    cancelValidation();
    if (!config_.enabled || isLocal(config_)) {
        state_.status = {};
        return;
    }
    state_.status = {"Checking\u2026", StatusTone::muted};
    const std::uint64_t generation = validationGeneration_;
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    validationTask_.emplace([weak, generation, debounced] {
        if (debounced && !pause(kValidationDebounce)) return;
        if (platform::isCancelled()) return;
        later(weak, [generation](auto& section) {
            if (section.validationGeneration_ == generation) section.startProbe(generation);
        });
    });
}

void FormattingSectionPresenter::cancelValidation() {
    ++validationGeneration_;
    if (validationTask_) validationTask_->cancel();
    validationTask_.reset();
}

void FormattingSectionPresenter::startProbe(std::uint64_t generation) {
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    validationTask_.emplace([weak, generation, probe = probe_, config = config_] {
        // The key typed last is the one to check.
        APIKeyWriter::shared().waitUntilWritten();
        if (platform::isCancelled()) return;
        const ProbeOutcome outcome = probe.probe(config);
        if (platform::isCancelled()) return;
        later(weak, [generation, outcome](auto& section) {
            if (section.validationGeneration_ == generation) section.applyValidationOutcome(outcome);
        });
    });
}

void FormattingSectionPresenter::applyValidationOutcome(const ProbeOutcome& outcome) {
    validationTask_.reset();
    state_.status = {outcome.line(),
                     outcome.kind == ProbeOutcome::Kind::success ? StatusTone::green : StatusTone::red};
    changed();
}

void FormattingSectionPresenter::startOllamaPolling() {
    stopOllamaPolling();
    refreshHealth();
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    pollTask_.emplace([weak] {
        while (pause(kPollInterval)) {
            if (weak.expired()) return;
            later(weak, [](FormattingSectionPresenter& section) { section.refreshHealth(); });
        }
    });
}

void FormattingSectionPresenter::stopOllamaPolling() {
    if (pollTask_) pollTask_->cancel();
    pollTask_.reset();
}

void FormattingSectionPresenter::refreshHealth() {
    // While a model downloads the server is busy with it; its lines stay as they were.
    if (pullTask_) return;
    std::weak_ptr<FormattingSectionPresenter> weak = weak_from_this();
    platform::Task<void>([weak, host = config_.ollamaHost] {
        const OllamaSetup::Health health = OllamaSetup::health(host);
        later(weak, [health](FormattingSectionPresenter& section) {
            if (section.pullTask_) return;
            section.lastHealth_ = health;
            section.refreshOllamaSection();
            section.changed();
        });
    });
}

void FormattingSectionPresenter::refreshOllamaSection() {
    ollama_controls::showHealth(state_.ollama, lastHealth_, config_.model(), config_.ollamaHost.absoluteString(),
                                isProgramOnPath("ollama"), pullTask_.has_value());
}

void FormattingSectionPresenter::handlePullProgress(const OllamaSetup::PullProgress& progress) {
    ollama_controls::showPullProgress(state_.ollama, progress);
    changed();
}

void FormattingSectionPresenter::finishPullSuccess(const std::string& model) {
    pullTask_.reset();
    ollama_controls::showPullSucceeded(state_.ollama, model);
    refreshHealth();
    changed();
}

void FormattingSectionPresenter::finishPullFailure(const std::string& reason) {
    pullTask_.reset();
    ollama_controls::showPullFailed(state_.ollama, reason);
    refreshOllamaSection();
    changed();
}

void FormattingSectionPresenter::later(std::weak_ptr<FormattingSectionPresenter> weak,
                                       std::function<void(FormattingSectionPresenter&)> job) {
    platform::MainActor::post([weak, job = std::move(job)] {
        if (auto self = weak.lock()) job(*self);
    });
}

void FormattingSectionPresenter::changed() {
    if (onStateChange) onStateChange();
}

}  // namespace dictaro
