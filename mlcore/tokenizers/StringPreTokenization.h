#pragma once

#include "platform/text/Regex.h"

#include <string>
#include <string_view>
#include <vector>

namespace celvan {

using TextRange = platform::text::Regex::Range;

// How a text is cut at its delimiters (the matches of a pattern):
//   removed             the delimiters are dropped
//   isolated            each delimiter is a piece of its own
//   mergedWithPrevious  each delimiter ends the piece before it
//   mergedWithNext      each delimiter starts the piece after it
//   contiguous          adjacent delimiters form one piece of their own
// Two delimiters in a row never merge into each other except under contiguous.
// Empty pieces are never returned.
enum class SplitDelimiterBehavior { removed, isolated, mergedWithPrevious, mergedWithNext, contiguous };

// Every match, in order; after an empty match the search moves on by one
// character, so every pattern ends.
std::vector<TextRange> ranges(std::string_view text, const platform::text::Regex& pattern);
// Every non-overlapping occurrence, scanning left to right; an empty literal
// occurs nowhere.
std::vector<TextRange> ranges(std::string_view text, std::string_view literal);

// Cuts the text at the given delimiter ranges (ordered, not overlapping).
// With invert, the text between the ranges is the delimiter instead.
std::vector<std::string> split(std::string_view text, const std::vector<TextRange>& delimiters,
                               SplitDelimiterBehavior behavior, bool invert = false);

// Splits around the matches of an expression whose alternatives are each one
// capture group: the non-empty text between matches, and for each match the
// text of its highest-numbered group that took part (the whole match when
// none did). A text without matches is returned whole.
std::vector<std::string> split(std::string_view text, const platform::text::Regex& pattern);

// Every non-overlapping occurrence of the target, scanning left to right,
// replaced; an empty target occurs nowhere.
std::string replacingOccurrences(std::string_view text, std::string_view target, std::string_view replacement);

} // namespace celvan
