#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/formatting/FormattingConfig.h"
#include "app/formatting/OllamaSetup.h"
#include "app/ui/FormattingSectionState.h"
#include "app/ui/ProviderProbe.h"
#include "platform/concurrency/Task.h"
#include "platform/settings/UserDefaults.h"

namespace dictaro {

// The key page of a cloud provider; none for the local one.
std::optional<std::string> apiKeyPageURL(FormattingProvider provider);

// What the formatting settings section does, without its widgets: every user
// action edits the working settings, saves them and announces the change;
// cloud providers are checked by a debounced probe, the local Ollama server
// by a poll. Lives on the main actor: its methods are called there, and its
// background work reports back there.
class FormattingSectionPresenter : public std::enable_shared_from_this<FormattingSectionPresenter> {
    struct Passkey {};

public:
    static constexpr std::chrono::milliseconds kValidationDebounce{700};
    static constexpr std::chrono::milliseconds kPollInterval{3000};
    static constexpr std::chrono::milliseconds kRecheckAfterLaunch{800};

    static std::shared_ptr<FormattingSectionPresenter> create(
        std::shared_ptr<platform::UserDefaults> defaults = platform::UserDefaults::standard(),
        ProviderProbe probe = ProviderProbe());

    FormattingSectionPresenter(Passkey, std::shared_ptr<platform::UserDefaults> defaults, ProviderProbe probe);
    ~FormattingSectionPresenter();
    FormattingSectionPresenter(const FormattingSectionPresenter&) = delete;
    FormattingSectionPresenter& operator=(const FormattingSectionPresenter&) = delete;

    const FormattingSectionState& state() const noexcept { return state_; }
    const FormattingConfig& config() const noexcept { return config_; }
    bool isPolling() const noexcept { return pollTask_.has_value(); }
    bool isValidating() const noexcept { return validationTask_.has_value(); }
    bool isPulling() const noexcept { return pullTask_.has_value(); }

    // Called after every change of state().
    std::function<void()> onStateChange;

    // Each time the window that holds the section is shown, and when it goes.
    void activate();
    void deactivate();

    void toggleEnabled(bool on);
    // An index into the providers' order; one outside it does nothing.
    void providerChanged(std::size_t index);
    // Typed, or picked from the suggestions.
    void modelEntered(const std::string& text);
    // Every change of the key goes to the secret store at once, off the
    // main actor, and is announced once it is stored.
    void apiKeyChanged(const std::string& text);
    void apiKeyEditingEnded(const std::string& text);
    void hostEditingEnded(const std::string& text);
    void openAPIKeyHelp();
    void daemonActionClicked();
    void modelActionClicked();

private:
    void loadFromConfig();
    void refreshVisibility();
    void reloadModelAndKey();
    // Saves and announces the settings; false (with the reason shown) when
    // they could not be written.
    bool persist();
    // Tells the settings' readers to read them again (and with them the keys).
    static void announce();
    void writeKey(const std::string& text);
    // Announces a stored key, or shows that the store refused it.
    void keyWritten(bool stored);
    void switchMode();

    void scheduleValidation(bool debounced);
    void cancelValidation();
    void startProbe(std::uint64_t generation);
    void applyValidationOutcome(const ProbeOutcome& outcome);

    void startOllamaPolling();
    void stopOllamaPolling();
    void refreshHealth();
    void refreshOllamaSection();
    void handlePullProgress(const OllamaSetup::PullProgress& progress);
    void finishPullSuccess(const std::string& model);
    void finishPullFailure(const std::string& reason);

    // Runs `job` on the main actor if the presenter still exists then; safe
    // from any thread, and never the last owner of the presenter off it.
    static void later(std::weak_ptr<FormattingSectionPresenter> weak,
                      std::function<void(FormattingSectionPresenter&)> job);
    void changed();

    std::shared_ptr<platform::UserDefaults> defaults_;
    ProviderProbe probe_;
    FormattingConfig config_;
    FormattingSectionState state_;
    OllamaSetup::Health lastHealth_ = OllamaSetup::Health::unreachable();
    std::optional<platform::Task<void>> validationTask_;
    std::uint64_t validationGeneration_ = 0;
    std::optional<platform::Task<void>> pollTask_;
    std::optional<platform::Task<void>> pullTask_;
};

}  // namespace dictaro
