#include "app/formatting/ProviderSession.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "app/formatting/FormattingError.h"
#include "platform/foundation/URL.h"
#include "platform/text/CaseMapping.h"

namespace dictaro::provider {

namespace {

// Where each provider puts its key: OpenAI and the chat-completions
// services as a bearer token, Anthropic and Gemini in fields of their own.
constexpr std::array<std::string_view, 3> kKeyHeaders{"Authorization", "x-api-key", "x-goog-api-key"};

bool carriesAKey(const platform::URLRequest& request) {
    return std::ranges::any_of(kKeyHeaders, [&](std::string_view name) { return request.value(name).has_value(); });
}

bool hasScheme(const std::string& address, std::string_view scheme) {
    const std::optional<platform::URL> url = platform::URL::fromString(address);
    return url && platform::text::lowercased(url->scheme()) == scheme;
}

}  // namespace

std::optional<platform::URLRequest> KeyGuardingRedirects::willPerformHTTPRedirection(
    platform::URLSessionTask& task, const platform::HTTPURLResponse& response, platform::URLRequest newRequest) {
    if (carriesAKey(task.originalRequest()) && hasScheme(response.url, "https") && hasScheme(newRequest.url, "http")) {
        throw FormattingError::backendUnavailable("refused the redirect from " + response.url + " to " +
                                                  newRequest.url + ", which would send the API key unencrypted");
    }
    if (!platform::sameOrigin(response.url, newRequest.url)) {
        for (std::string_view name : kKeyHeaders) newRequest.allHTTPHeaderFields.remove(name);
    }
    return newRequest;
}

const std::shared_ptr<platform::URLSession>& session() {
    static const std::shared_ptr<platform::URLSession> providers = platform::URLSession::make(
        platform::URLSessionConfiguration::defaultConfiguration(), std::make_shared<KeyGuardingRedirects>());
    return providers;
}

}  // namespace dictaro::provider
