#pragma once

#include <string>

#include "app/formatting/FormattingService.h"
#include "app/formatting/ProviderExchange.h"

namespace dictaro {

// Rewrites through Gemini's streamed content generation.
struct GeminiFormatter final : FormattingService {
    static constexpr const char* kEndpoint = "https://generativelanguage.googleapis.com";

    GeminiFormatter(std::string apiKey, std::string model) : apiKey(std::move(apiKey)), model(std::move(model)) {}

    std::string apiKey;
    std::string model;
    // The address in front of "/v1beta/models/"; tests point it at a local server.
    std::string endpoint = kEndpoint;
    double timeoutInterval = provider::kTimeoutInterval;

    FormattingStream format(const std::string& transcript, const ContextProfile& context) const override;

    // The request address for `model`. The model is one path segment, so
    // that a "?", "#" or "/" in it cannot point the request anywhere else.
    std::string requestURL() const;

private:
    FormattingEnd stream(const std::string& transcript, const ContextProfile& context,
                         const FormattingStream::Yield& yield) const;
};

}  // namespace dictaro
