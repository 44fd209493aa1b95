#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/formatting/FormattingConfig.h"
#include "app/formatting/FormattingService.h"

namespace dictaro {

// What one check of a provider found, as the settings show it.
struct ProbeOutcome {
    enum class Kind { success, failure };
    Kind kind;
    std::string message;

    static ProbeOutcome success(std::string message) { return {Kind::success, std::move(message)}; }
    static ProbeOutcome failure(std::string message) { return {Kind::failure, std::move(message)}; }
    // "● " or "✗ " and the message.
    std::string line() const;
    friend bool operator==(const ProbeOutcome&, const ProbeOutcome&) = default;
};

// Sends a provider the smallest formatting request there is and waits for
// its first piece of answer only.
class ProviderProbe {
public:
    // Builds the formatter that the dictation would use; none without a key.
    using ServiceFactory = std::function<std::shared_ptr<FormattingService>(const FormattingConfig&)>;

    // The formatter that the settings describe.
    ProviderProbe();
    explicit ProviderProbe(ServiceFactory makeService) : makeService_(std::move(makeService)) {}

    // Blocks until the first element, the end or the failure of the answer;
    // never throws.
    ProbeOutcome probe(const FormattingConfig& config) const;

private:
    ServiceFactory makeService_;
};

}  // namespace dictaro
