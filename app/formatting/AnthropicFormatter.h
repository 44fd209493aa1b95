#pragma once

#include <string>

#include "app/formatting/FormattingService.h"
#include "app/formatting/ProviderExchange.h"

namespace dictaro {

// Rewrites through Anthropic's Messages interface, streamed as server-sent events.
struct AnthropicFormatter final : FormattingService {
    static constexpr const char* kEndpoint = "https://api.anthropic.com/v1/messages";

    AnthropicFormatter(std::string apiKey, std::string model) : apiKey(std::move(apiKey)), model(std::move(model)) {}

    std::string apiKey;
    std::string model;
    // Where the requests go and how long the answer may stay silent; tests
    // point them at a local server.
    std::string endpoint = kEndpoint;
    double timeoutInterval = provider::kTimeoutInterval;

    FormattingStream format(const std::string& transcript, const ContextProfile& context) const override;

private:
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
