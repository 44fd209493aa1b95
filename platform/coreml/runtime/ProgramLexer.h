#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::coreml::runtime {

struct Token {
    enum class Kind { identifier, number, string, punctuation, end };
    Kind kind = Kind::end;
    std::string text;  // strings: the unescaped contents
    int line = 0;
};

// Splits program text into tokens. Throws ModelLoadError (malformedProgram)
// on characters that cannot start a token and on unterminated strings.
std::vector<Token> tokenizeProgram(std::string_view text);

}  // namespace platform::coreml::runtime
