#pragma once

#include <string>
#include <string_view>

namespace platform::text {

// Conversions never fail: each maximal ill-formed subsequence of the input
// becomes one U+FFFD, and a lone surrogate becomes one U+FFFD.
std::u16string toUtf16(std::string_view utf8);
std::string toUtf8(std::u16string_view utf16);
// The same conversion onto the end of out, for callers that reuse one buffer.
void appendUtf8(std::string& out, std::u16string_view utf16);

// Returns well-formed UTF-8 with the same repair rule as toUtf16.
std::string repairUtf8(std::string_view utf8);

// The Unicode scalars of the text, repaired as above.
std::u32string toScalars(std::string_view utf8);

// Appends one scalar as UTF-8; a surrogate or out-of-range value becomes U+FFFD.
void appendUtf8(std::string& out, char32_t scalar);
std::string toUtf8(std::u32string_view scalars);

} // namespace platform::text
