#pragma once

#include <string_view>

namespace platform::text {

// General category Lu or Lt.
bool isUppercaseLetter(char32_t scalar);
// General category L (the \p{L} of a regular expression).
bool isLetter(char32_t scalar);
// General category N (the \p{N} of a regular expression).
bool isNumber(char32_t scalar);

// The White_Space property, which includes the line breaks.
bool isWhiteSpace(char32_t scalar);

// General category P (connector, dash, open, close, initial, final, other).
bool isPunctuation(char32_t scalar);

// The "whitespaces" set: space separators (Zs) and the tab.
bool isInWhitespaces(char32_t scalar);

// The "whitespaces and newlines" set: separators (Z), U+000A to U+000D and U+0085.
bool isInWhitespacesAndNewlines(char32_t scalar);

// Removes scalars of the set from both ends.
std::string_view trimmingWhitespaces(std::string_view utf8);
std::string_view trimmingWhitespacesAndNewlines(std::string_view utf8);

} // namespace platform::text
