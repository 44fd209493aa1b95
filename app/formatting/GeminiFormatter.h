#pragma once

#include <optional>
#include <string>

#include "app/formatting/StreamingFormatter.h"

namespace dictaro {

// Rewrites through Gemini's streamed content generation.
struct GeminiFormatter final : StreamingFormatter<GeminiFormatter> {
    static constexpr const char* kEndpoint = "https://generativelanguage.googleapis.com";

    GeminiFormatter(std::string apiKey, std::string model) : apiKey(std::move(apiKey)), model(std::move(model)) {}

    std::string apiKey;
    std::string model;
    // The address in front of "/v1beta/models/"; tests point it at a local server.
    std::string endpoint = kEndpoint;

    // The request address for `model`; none when the endpoint is no address.
    // The model is one path segment, so that a "?", "#" or "/" in it cannot
    // point the request anywhere else.
    std::optional<std::string> requestURL() const;

private:
    friend StreamingFormatter;
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
