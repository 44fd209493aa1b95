#pragma once

#include <string>
#include <string_view>

namespace platform::text {

enum class NormalizationForm { C, D, KC, KD };

// The text in the given Unicode normalization form. Ill-formed UTF-8 is
// repaired first, each maximal ill-formed subsequence becoming U+FFFD.
std::string normalized(std::string_view utf8, NormalizationForm form);

// The text with its diacritics removed, case and locale left alone: every
// nonspacing mark of the canonical decomposition is dropped and the rest is
// recomposed, so "é" becomes "e" and "ﬁ" stays as it is.
std::string foldingDiacritics(std::string_view utf8);

} // namespace platform::text
