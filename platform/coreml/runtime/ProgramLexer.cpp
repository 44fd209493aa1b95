#include "platform/coreml/runtime/ProgramLexer.h"

#include <cctype>

#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

bool isIdentifierStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}

bool isIdentifierPart(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@';
}

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

[[noreturn]] void malformed(const std::string& message, int line) {
    throw ModelLoadError(ModelLoadError::Kind::malformedProgram, message, line);
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    std::vector<Token> run() {
        std::vector<Token> tokens;
        while (true) {
            skipSpace();
            if (pos_ >= text_.size()) break;
            tokens.push_back(next());
        }
        tokens.push_back(Token{Token::Kind::end, "", line_});
        return tokens;
    }

private:
    char peek(size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }

    void skipSpace() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == '\n') {
                ++line_;
            } else if (!std::isspace(static_cast<unsigned char>(c))) {
                break;
            }
            ++pos_;
        }
    }

    Token next() {
        const char c = peek();
        if (isIdentifierStart(c)) return identifier();
        if (isDigit(c) || ((c == '-' || c == '+') && (isDigit(peek(1)) || peek(1) == '.')) ||
            (c == '.' && isDigit(peek(1)))) {
            return number();
        }
        if (c == '"') return string();
        if (c == '-' && peek(1) == '>') {
            pos_ += 2;
            return Token{Token::Kind::punctuation, "->", line_};
        }
        if (c == '-' && isIdentifierStart(peek(1))) {
            // -inf and -nan: the sign belongs to the word.
            ++pos_;
            Token word = identifier();
            word.text = "-" + word.text;
            word.kind = Token::Kind::number;
            return word;
        }
        static constexpr std::string_view kPunctuation = "()[]{}<>,=;?:";
        if (kPunctuation.find(c) != std::string_view::npos) {
            ++pos_;
            return Token{Token::Kind::punctuation, std::string(1, c), line_};
        }
        malformed("unexpected character '" + printable(c) + "'", line_);
    }

    static std::string printable(char c) {
        if (std::isprint(static_cast<unsigned char>(c))) return std::string(1, c);
        static constexpr char kHex[] = "0123456789abcdef";
        const auto byte = static_cast<unsigned char>(c);
        return std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    }

    Token identifier() {
        const size_t start = pos_;
        while (pos_ < text_.size() && isIdentifierPart(text_[pos_])) ++pos_;
        return Token{Token::Kind::identifier, std::string(text_.substr(start, pos_ - start)), line_};
    }

    Token number() {
        const size_t start = pos_;
        if (peek() == '-' || peek() == '+') ++pos_;
        const bool hex = peek() == '0' && (peek(1) == 'x' || peek(1) == 'X');
        if (hex) pos_ += 2;
        const auto isMantissa = [hex](char c) { return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : isDigit(c); };
        while (isMantissa(peek()) || peek() == '.') ++pos_;
        const char e = peek();
        if ((hex && (e == 'p' || e == 'P')) || (!hex && (e == 'e' || e == 'E'))) {
            ++pos_;
            if (peek() == '-' || peek() == '+') ++pos_;
            while (isDigit(peek())) ++pos_;
        }
        return Token{Token::Kind::number, std::string(text_.substr(start, pos_ - start)), line_};
    }

    Token string() {
        const int line = line_;
        ++pos_;
        std::string value;
        while (true) {
            if (pos_ >= text_.size()) malformed("unterminated string", line);
            const char c = text_[pos_++];
            if (c == '"') break;
            if (c == '\n') ++line_;
            if (c == '\\') {
                if (pos_ >= text_.size()) malformed("unterminated string", line);
                const char escaped = text_[pos_++];
                switch (escaped) {
                    case 'n': value += '\n'; break;
                    case 't': value += '\t'; break;
                    case 'r': value += '\r'; break;
                    case '0': value += '\0'; break;
                    default: value += escaped; break;
                }
                continue;
            }
            value += c;
        }
        return Token{Token::Kind::string, std::move(value), line};
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

}  // namespace

std::vector<Token> tokenizeProgram(std::string_view text) {
    return Lexer(text).run();
}

}  // namespace platform::coreml::runtime
