#pragma once

#include "mlcore/tokenizers/StringPreTokenization.h"

#include <string_view>
#include <vector>

namespace celvan {

// One-pass equivalents of two well-known split expressions. Searching an
// expression costs a regular-expression step per piece, and a piece is three
// characters on average, so these are several times faster; the tests hold
// each to its expression's own matches on every scalar value and on whole
// tokenizer files. Both expressions match every character, so the ranges
// cover the text one after another. Ill-formed bytes read as U+FFFD, as in
// the expressions' search.

// The matches of GPT-2's expression, byteLevelExpression().
std::vector<TextRange> byteLevelRanges(std::string_view text);

// The expression that Llama 3 files give their "Split" pre-tokenizer.
inline constexpr std::string_view kLlama3SplitExpression =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

// The matches of kLlama3SplitExpression.
std::vector<TextRange> llama3Ranges(std::string_view text);

} // namespace celvan
