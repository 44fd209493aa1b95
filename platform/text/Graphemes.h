#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace platform::text {

// Extended grapheme clusters (user-perceived characters) of UTF-8 text, as
// views into the text. An ill-formed subsequence counts as one U+FFFD.
std::vector<std::string_view> graphemeClusters(std::string_view utf8);

std::size_t graphemeCount(std::string_view utf8);

// The last cluster, or an empty view for empty text.
std::string_view lastGraphemeCluster(std::string_view utf8);

// Two characters are equal when they are canonically equivalent, so a
// precomposed letter equals the same letter with a combining mark.
bool charactersEqual(std::string_view a, std::string_view b);

} // namespace platform::text
