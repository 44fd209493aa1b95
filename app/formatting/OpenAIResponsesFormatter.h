#pragma once

#include <string>

#include "app/formatting/StreamingFormatter.h"

namespace dictaro {

// Rewrites through OpenAI's Responses interface, streamed as server-sent events.
struct OpenAIResponsesFormatter final : StreamingFormatter<OpenAIResponsesFormatter> {
    static constexpr const char* kEndpoint = "https://api.openai.com/v1/responses";

    OpenAIResponsesFormatter(std::string apiKey, std::string model)
        : apiKey(std::move(apiKey)), model(std::move(model)) {}

    std::string apiKey;
    std::string model;
    // Where the requests go; tests point it at a local server.
    std::string endpoint = kEndpoint;

private:
    friend StreamingFormatter;
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
    FormattingError httpError(platform::AsyncBytes& body, int status) const;
};

}  // namespace dictaro
