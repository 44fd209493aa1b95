#pragma once

#include <string>
#include <string_view>

namespace platform::text {

// The scalar's full lower-case mapping as UTF-8 (U+0130 gives two scalars).
std::string lowercaseMapping(char32_t scalar);

// Maps every scalar through its full lower-case mapping, one scalar at a time:
// no language or context rules, so a final capital sigma becomes U+03C3.
std::string lowercased(std::string_view utf8);

} // namespace platform::text
