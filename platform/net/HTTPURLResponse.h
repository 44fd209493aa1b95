#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/net/HTTPHeaderFields.h"

namespace platform {

// The head of the final answer to a request: the address that gave it (after
// any redirects that were followed), its status and its header fields.
struct HTTPURLResponse {
    std::string url;
    int statusCode = 0;
    HTTPHeaderFields allHeaderFields;

    std::optional<std::string> value(std::string_view field) const { return allHeaderFields.value(field); }
};

}  // namespace platform
