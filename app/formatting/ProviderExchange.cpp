#include "app/formatting/ProviderExchange.h"

#include "app/formatting/FormattingError.h"
#include "app/formatting/JsonFields.h"
#include "app/formatting/ProviderSession.h"
#include "platform/foundation/JsonWriter.h"
#include "platform/net/URLError.h"

namespace dictaro::provider {

platform::URLRequest jsonPost(std::string url, double timeoutInterval,
                              const std::vector<std::pair<std::string, std::string>>& headers,
                              const platform::JSONValue& body) {
    platform::URLRequest request(std::move(url));
    request.httpMethod = "POST";
    request.timeoutInterval = timeoutInterval;
    for (const auto& [name, value] : headers) request.setValue(value, name);
    const std::vector<std::uint8_t> data = platform::jsonData(body);
    request.httpBody = std::string(data.begin(), data.end());
    return request;
}

platform::AsyncBytes send(const platform::URLRequest& request) {
    try {
        return session()->bytes(request);
    } catch (const platform::URLError& error) {
        throw FormattingError::backendUnavailable(error.what());
    }
}

std::optional<std::string_view> dataPayload(std::string_view line) {
    constexpr std::string_view kPrefix = "data: ";
    if (!line.starts_with(kPrefix)) return std::nullopt;
    return line.substr(kPrefix.size());
}

platform::JSONValue decodeObject(std::string_view payload) {
    return decoding([&] { return json::parseObject(payload); });
}

std::string masked(std::string text, std::string_view secret) {
    if (secret.empty()) return text;
    constexpr std::string_view kMask = "[redacted key]";
    for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + kMask.size())) {
        text.replace(at, secret.size(), kMask);
    }
    return text;
}

std::optional<std::string> errorMessage(const platform::JSONValue& event) {
    const platform::JSONValue* error = json::member(event, "error");
    if (!error) return std::nullopt;
    if (error->string()) return *error->string();
    if (!error->object()) return std::nullopt;
    const platform::JSONValue* message = json::member(*error, "message");
    if (message && message->string()) return *message->string();
    return std::string("unknown error");
}

}  // namespace dictaro::provider
