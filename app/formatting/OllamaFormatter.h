#pragma once

#include <string>

#include "app/formatting/StreamingFormatter.h"
#include "platform/foundation/URL.h"

namespace dictaro {

// Rewrites through a local Ollama server's chat interface, one JSON object a line.
struct OllamaFormatter final : StreamingFormatter<OllamaFormatter> {
    OllamaFormatter(platform::URL host, std::string model) : host(std::move(host)), model(std::move(model)) {}

    platform::URL host;
    std::string model;

private:
    friend StreamingFormatter;
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
