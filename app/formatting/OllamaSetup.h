#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/foundation/URL.h"

namespace dictaro {

class OllamaSetupError : public std::runtime_error {
public:
    enum class Kind {
        transport,
        badStatus,
        decode,
        serverMessage,
        // The server ended the pull without saying it succeeded.
        incomplete,
    };

    static OllamaSetupError transport(const std::string& text);
    static OllamaSetupError badStatus(int status);
    static OllamaSetupError decode(const std::string& text);
    static OllamaSetupError serverMessage(const std::string& text);
    static OllamaSetupError incomplete(const std::string& model);

    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    OllamaSetupError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// Looks after the local Ollama server: is it there, which models does it
// have, fetch one more, start it.
struct OllamaSetup {
    OllamaSetup() = delete;

    struct Health {
        // Set when the server answered: its models in the order it gave them.
        std::optional<std::vector<std::string>> installedModels;

        static Health running(std::vector<std::string> models) { return {std::move(models)}; }
        static Health unreachable() { return {}; }
        bool isRunning() const noexcept { return installedModels.has_value(); }
        friend bool operator==(const Health&, const Health&) = default;
    };

    struct PullProgress {
        std::string status;
        std::optional<std::int64_t> completed;
        std::optional<std::int64_t> total;
        friend bool operator==(const PullProgress&, const PullProgress&) = default;
    };

    // Never fails: whatever goes wrong within two seconds is `unreachable`.
    static Health health(const platform::URL& host);

    // Returns once the server reports "success". Each progress line is handed
    // to `onProgress` on the main actor, and the next line is read only after
    // it returned. Throws OllamaSetupError, or what reading the answer throws.
    static void pull(const std::string& model, const platform::URL& host,
                     const std::function<void(const PullProgress&)>& onProgress);

    // Starts the Ollama server when it is installed, else opens its download
    // page in the browser. Reports nothing.
    static void launchOrInstall();
};

}  // namespace dictaro
