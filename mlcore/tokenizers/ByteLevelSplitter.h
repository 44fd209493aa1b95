#pragma once

#include "mlcore/tokenizers/StringPreTokenization.h"

#include <string_view>
#include <vector>

namespace celvan {

// The ranges that GPT-2's expression (byteLevelExpression()) matches in a
// text, found in one pass over the text. The search of the expression
// costs a regular-expression step per piece, and a piece is three
// characters on average, so this is several times faster; the tests hold it
// to the expression's own matches on every scalar value and on whole
// tokenizer files. Every character belongs to some piece, so the ranges
// cover the text one after another. Ill-formed bytes read as U+FFFD, as in
// that search.
std::vector<TextRange> byteLevelRanges(std::string_view text);

} // namespace celvan
