#pragma once

#include <string>

#include "app/formatting/StreamingFormatter.h"
#include "platform/foundation/URL.h"

namespace dictaro {

// Rewrites through a chat-completions interface at `baseURL`, streamed as
// server-sent events.
struct ChatCompletionsFormatter final : StreamingFormatter<ChatCompletionsFormatter> {
    ChatCompletionsFormatter(platform::URL baseURL, std::string apiKey, std::string model)
        : baseURL(std::move(baseURL)), apiKey(std::move(apiKey)), model(std::move(model)) {}

    platform::URL baseURL;
    std::string apiKey;
    std::string model;

private:
    friend StreamingFormatter;
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
