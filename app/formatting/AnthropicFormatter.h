#pragma once

#include <string>

#include "app/formatting/StreamingFormatter.h"

namespace dictaro {

// Rewrites through Anthropic's Messages interface, streamed as server-sent events.
struct AnthropicFormatter final : StreamingFormatter<AnthropicFormatter> {
    static constexpr const char* kEndpoint = "https://api.anthropic.com/v1/messages";

    AnthropicFormatter(std::string apiKey, std::string model) : apiKey(std::move(apiKey)), model(std::move(model)) {}

    std::string apiKey;
    std::string model;
    // Where the requests go; tests point it at a local server.
    std::string endpoint = kEndpoint;

private:
    friend StreamingFormatter;
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
