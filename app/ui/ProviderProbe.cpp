#include "app/ui/ProviderProbe.h"

#include <exception>

#include "app/formatting/ContextProfile.h"

namespace dictaro {

std::string ProbeOutcome::line() const { return (kind == Kind::success ? "\u25CF " : "\u2717 ") + message; }

ProviderProbe::ProviderProbe() : makeService_([](const FormattingConfig& config) { return config.buildService(); }) {}

ProbeOutcome ProviderProbe::probe(const FormattingConfig& config) const {
    try {
        const std::shared_ptr<FormattingService> service = makeService_(config);
        if (!service) return ProbeOutcome::failure("Missing API key. Paste it above first.");
        // Only the first piece is awaited: dropping the stream afterwards
        // stops the rest of the answer.
        FormattingStream stream = service->format("Test.", ContextProfile{});
        if (stream.next() == nullptr) return ProbeOutcome::failure("Connected but no response.");
        return ProbeOutcome::success("Connected to " + std::string(displayName(config.provider)) + ", model " +
                                     config.model());
    } catch (const std::exception& error) {
        return ProbeOutcome::failure(error.what());
    }
}

}  // namespace dictaro
