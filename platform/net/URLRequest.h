#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/HTTPHeaderFields.h"

namespace platform {

// One HTTP request. `timeoutInterval` is an idle timeout: the request fails
// when no byte arrives for that many seconds, however long a steadily moving
// transfer takes overall.
struct URLRequest {
    URLRequest() = default;
    explicit URLRequest(std::string url) : url(std::move(url)) {}

    std::string url;
    std::string httpMethod = "GET";
    double timeoutInterval = 60.0;
    HTTPHeaderFields allHTTPHeaderFields;
    std::optional<std::string> httpBody;

    std::optional<std::string> value(std::string_view field) const { return allHTTPHeaderFields.value(field); }
    void setValue(std::string value, std::string_view field) { allHTTPHeaderFields.setValue(field, std::move(value)); }
};

}  // namespace platform
