#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/formatting/KeychainHelper.h"
#include "app/formatting/OpenAIResponsesFormatter.h"
#include "app/ui/ProviderProbe.h"
#include "tests/support/FakeProviderServer.h"

namespace dictaro::testing {

// Checks go to the fake server's Responses route, with the key the section stored.
inline ProviderProbe probeAgainst(const testsupport::FakeProviderServer& server) {
    return ProviderProbe([endpoint = server.endpoint()](const FormattingConfig& config) -> std::shared_ptr<FormattingService> {
        const std::optional<std::string> key = KeychainHelper::get(apiKeyAccount(config.provider));
        if (!key) return nullptr;
        auto formatter = std::make_shared<OpenAIResponsesFormatter>(*key, config.model());
        formatter->endpoint = endpoint + "/v1/responses";
        return formatter;
    });
}

}  // namespace dictaro::testing
