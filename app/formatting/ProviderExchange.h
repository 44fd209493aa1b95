#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/formatting/FormattingError.h"
#include "platform/foundation/DecodingError.h"
#include "platform/foundation/JsonValue.h"
#include "platform/net/AsyncBytes.h"
#include "platform/net/URLRequest.h"

namespace dictaro::provider {

// How long a provider's answer may stay silent before it fails.
inline constexpr double kTimeoutInterval = 60.0;

// A POST of `body` as compact JSON with exactly these headers, in this order.
platform::URLRequest jsonPost(std::string url, double timeoutInterval,
                              const std::vector<std::pair<std::string, std::string>>& headers,
                              const platform::JSONValue& body);

// Sends the request through the providers' session and waits for the
// answer's head. A failure on the way is FormattingError backendUnavailable
// with the transport's description.
platform::AsyncBytes send(const platform::URLRequest& request);

// The text after "data: " of a server-sent-event line, untrimmed; none for
// any other line.
std::optional<std::string_view> dataPayload(std::string_view line);

// Runs a decoding step; a payload of the wrong shape becomes FormattingError
// decodeFailed with the decoder's description.
template <class Decode>
auto decoding(Decode&& decode) -> decltype(decode()) {
    try {
        return decode();
    } catch (const platform::DecodingError& error) {
        throw FormattingError::decodeFailed(error.what());
    }
}

// The payload as a JSON object; FormattingError decodeFailed when it is not one.
platform::JSONValue decodeObject(std::string_view payload);

// `text` with every occurrence of `secret` blotted out, so that an error a
// provider built around the user's key can be shown and logged.
std::string masked(std::string text, std::string_view secret);

// A message member of an error object that a provider put in its answer,
// read leniently: the answer is already a failure, any wording will do.
std::optional<std::string> errorMessage(const platform::JSONValue& event);

}  // namespace dictaro::provider
