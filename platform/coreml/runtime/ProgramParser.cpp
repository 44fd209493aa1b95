#include "platform/coreml/runtime/ProgramParser.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/coreml/runtime/ProgramLexer.h"
#include "platform/coreml/runtime/RuntimeError.h"

namespace platform::coreml::runtime {
namespace {

// Real programs nest brackets a few levels deep; a hostile one could nest
// them until the stack runs out.
constexpr int kMaxNesting = 64;

bool isTypeWord(std::string_view word) {
    return word == "tensor" || word == "dict" || word == "state" || dataTypeNamed(word).has_value();
}

class Parser {
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Program program() {
        Program result;
        expectWord("program");
        expect("(");
        result.version = take(Token::Kind::number, "a program version").text;
        expect(")");
        if (at("[")) result.attributes = attributes();
        expect("{");
        while (!at("}")) result.functions.push_back(function());
        expect("}");
        if (current().kind != Token::Kind::end) fail("unexpected text after the program");
        if (result.functions.empty()) fail("the program has no function");
        return result;
    }

private:
    const Token& current() const { return tokens_[pos_]; }
    const Token& ahead(size_t n) const { return tokens_[std::min(pos_ + n, tokens_.size() - 1)]; }
    bool at(std::string_view punctuation) const {
        return current().kind == Token::Kind::punctuation && current().text == punctuation;
    }
    bool atWord(std::string_view word) const {
        return current().kind == Token::Kind::identifier && current().text == word;
    }

    [[noreturn]] void fail(const std::string& message) const {
        throw ModelLoadError(ModelLoadError::Kind::malformedProgram, message, current().line);
    }

    std::string found() const {
        if (current().kind == Token::Kind::end) return "the end of the program";
        if (current().kind == Token::Kind::string) return "\"" + current().text + "\"";
        return "'" + current().text + "'";
    }

    void expect(std::string_view punctuation) {
        if (!at(punctuation)) fail("expected '" + std::string(punctuation) + "', found " + found());
        ++pos_;
    }

    bool accept(std::string_view punctuation) {
        if (!at(punctuation)) return false;
        ++pos_;
        return true;
    }

    void expectWord(std::string_view word) {
        if (!atWord(word)) fail("expected '" + std::string(word) + "', found " + found());
        ++pos_;
    }

    const Token& take(Token::Kind kind, std::string_view what) {
        if (current().kind != kind) fail("expected " + std::string(what) + ", found " + found());
        return tokens_[pos_++];
    }

    std::string identifier(std::string_view what) { return take(Token::Kind::identifier, what).text; }

    struct Depth {
        Depth(Parser& parser) : parser_(parser) {
            if (++parser_.depth_ > kMaxNesting) parser_.fail("nesting too deep");
        }
        ~Depth() { --parser_.depth_; }
        Parser& parser_;
    };

    Function function() {
        Function result;
        result.line = current().line;
        expectWord("func");
        result.name = identifier("a function name");
        if (accept("<")) {
            result.opset = identifier("an opset");
            expect(">");
        }
        expect("(");
        if (!at(")")) {
            do {
                ValueType type = valueType();
                result.inputs.push_back(NamedType{std::move(type), identifier("an input name")});
            } while (accept(","));
        }
        expect(")");
        if (at("[")) result.attributes = attributes();
        expect("{");
        while (!at("}")) result.statements.push_back(statement());
        expect("}");
        expect("->");
        expect("(");
        do {
            result.outputs.push_back(identifier("an output name"));
        } while (accept(","));
        expect(")");
        expect(";");
        return result;
    }

    Statement statement() {
        Statement result;
        result.line = current().line;
        if (accept("(")) {
            do {
                result.outputs.push_back(namedType());
            } while (accept(","));
            expect(")");
        } else {
            do {
                result.outputs.push_back(namedType());
            } while (accept(","));
        }
        expect("=");
        result.op = identifier("an op name");
        if (result.op == "cond" || result.op == "while_loop") {
            fail("control flow ('" + result.op + "') is not supported");
        }
        expect("(");
        if (!at(")")) {
            do {
                result.arguments.push_back(argument());
            } while (accept(","));
        }
        expect(")");
        if (at("[")) result.attributes = attributes();
        expect(";");
        return result;
    }

    NamedType namedType() {
        ValueType type = valueType();
        return NamedType{std::move(type), identifier("a variable name")};
    }

    std::vector<Argument> attributes() {
        std::vector<Argument> result;
        expect("[");
        if (!at("]")) {
            do {
                result.push_back(argument());
            } while (accept(","));
        }
        expect("]");
        return result;
    }

    Argument argument() {
        Argument result;
        result.line = current().line;
        result.name = identifier("an argument name");
        expect("=");
        if (accept("(")) {
            result.isTuple = true;
            if (!at(")")) {
                do {
                    result.values.push_back(binding());
                } while (accept(","));
            }
            expect(")");
        } else {
            result.values.push_back(binding());
        }
        return result;
    }

    Binding binding() {
        if (current().kind == Token::Kind::identifier && isTypeWord(current().text) &&
            (ahead(1).text == "(" || ahead(1).text == "<") && ahead(1).kind == Token::Kind::punctuation) {
            return literal();
        }
        return identifier("a variable or a value");
    }

    ValueType valueType() {
        Depth depth(*this);
        const std::string word = identifier("a type");
        ValueType result;
        if (word == "tensor") {
            expect("<");
            result.dataType = dataType(identifier("a data type"));
            expect(",");
            expect("[");
            if (!at("]")) {
                do {
                    result.shape.push_back(dimension());
                } while (accept(","));
            }
            expect("]");
            expect(">");
        } else if (word == "state") {
            expect("<");
            result = valueType();
            result.isState = true;
            expect(">");
        } else if (word == "dict") {
            // Only build information is typed as a dict; its values are kept as text.
            expect("<");
            valueType();
            expect(",");
            valueType();
            expect(">");
            result.dataType = DataType::String;
            isDict_ = true;
        } else {
            result.dataType = dataType(word);
        }
        return result;
    }

    DataType dataType(const std::string& word) {
        const auto type = dataTypeNamed(word);
        if (!type) {
            --pos_;
            fail("unknown data type '" + word + "'");
        }
        return *type;
    }

    int64_t dimension() {
        if (accept("?")) return kUnknownDim;
        const Token& token = take(Token::Kind::number, "a dimension");
        int64_t value = 0;
        const auto [end, error] = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
        if (error != std::errc() || end != token.text.data() + token.text.size() || value < 0) {
            --pos_;
            fail("invalid dimension '" + token.text + "'");
        }
        return value;
    }

    Literal literal() {
        Literal result;
        isDict_ = false;
        result.type = valueType();
        const bool isDict = isDict_;
        expect("(");
        if (isDict) {
            result.content = dictionary();
        } else if (atWord("BLOBFILE")) {
            result.content = blob();
        } else if (result.type.dataType == DataType::String) {
            result.content = Value(take(Token::Kind::string, "a string").text);
        } else {
            result.content = Value(tensor(result.type));
        }
        expect(")");
        return result;
    }

    BlobReference blob() {
        expectWord("BLOBFILE");
        expect("(");
        BlobReference result;
        bool havePath = false;
        bool haveOffset = false;
        do {
            const std::string key = identifier("'path' or 'offset'");
            expect("=");
            Literal value = literal();
            const Value* plain = std::get_if<Value>(&value.content);
            if (key == "path" && plain && plain->isString()) {
                result.path = plain->string();
                havePath = true;
            } else if (key == "offset" && plain && plain->isTensor() && isInteger(plain->tensor().dataType()) &&
                       plain->tensor().count() == 1) {
                const Tensor& offset = plain->tensor();
                if (offset.number(0) < 0) fail("negative weight offset");
                result.offset = offset.dataType() == DataType::UInt64 ? *offset.data<uint64_t>()
                                                                       : static_cast<uint64_t>(offset.toInts()[0]);
                haveOffset = true;
            } else {
                fail("unexpected BLOBFILE field '" + key + "'");
            }
        } while (accept(","));
        expect(")");
        if (!havePath || !haveOffset) fail("BLOBFILE needs a path and an offset");
        return result;
    }

    DictLiteral dictionary() {
        DictLiteral result;
        expect("{");
        if (!at("}")) {
            do {
                expect("{");
                std::string key = scalarText();
                expect(",");
                std::string value = scalarText();
                expect("}");
                result.emplace_back(std::move(key), std::move(value));
            } while (accept(","));
        }
        expect("}");
        return result;
    }

    std::string scalarText() {
        if (current().kind == Token::Kind::string || current().kind == Token::Kind::number ||
            current().kind == Token::Kind::identifier) {
            return tokens_[pos_++].text;
        }
        fail("expected a dictionary entry, found " + found());
    }

    // Reads the elements of an inline tensor, nested like its shape.
    Tensor tensor(const ValueType& type) {
        elements_.clear();
        integers_.clear();
        if (at("[")) {
            nested(type, 0);
        } else {
            element(type.dataType);
        }
        const auto declared = elementCount(type.shape);
        if (!declared) fail("a literal needs a concrete shape, found " + describe(type.shape));
        const size_t count = isInteger(type.dataType) ? integers_.size() : elements_.size();
        if (static_cast<int64_t>(count) != *declared) {
            fail("literal has " + std::to_string(count) + " elements, its type " + describe(type.shape) + " holds " +
                 std::to_string(*declared));
        }
        Tensor result(type.dataType, type.shape);
        if (isInteger(type.dataType)) {
            storeIntegers(result);
        } else {
            for (size_t i = 0; i < count; ++i) setNumber(result, static_cast<int64_t>(i), elements_[i]);
        }
        return result;
    }

    void nested(const ValueType& type, size_t level) {
        Depth depth(*this);
        expect("[");
        size_t count = 0;
        if (!at("]")) {
            do {
                if (at("[")) {
                    nested(type, level + 1);
                } else {
                    element(type.dataType);
                }
                ++count;
            } while (accept(","));
        }
        if (level < type.shape.size() && type.shape[level] != kUnknownDim &&
            static_cast<int64_t>(count) != type.shape[level]) {
            fail("literal has " + std::to_string(count) + " entries in dimension " + std::to_string(level) +
                 ", its type says " + std::to_string(type.shape[level]));
        }
        expect("]");
    }

    void element(DataType type) {
        const Token& token = current();
        if (type == DataType::Bool) {
            if (token.kind == Token::Kind::identifier && (token.text == "true" || token.text == "false")) {
                elements_.push_back(token.text == "true" ? 1.0 : 0.0);
                ++pos_;
                return;
            }
            fail("expected true or false, found " + found());
        }
        if (token.kind == Token::Kind::identifier && (token.text == "inf" || token.text == "nan")) {
            elements_.push_back(token.text == "inf" ? std::numeric_limits<double>::infinity()
                                                    : std::numeric_limits<double>::quiet_NaN());
            ++pos_;
            return;
        }
        if (token.kind != Token::Kind::number) fail("expected a number, found " + found());
        if (isInteger(type)) {
            integers_.push_back(integerValue(token.text, type));
        } else {
            elements_.push_back(floatValue(token.text));
        }
        ++pos_;
    }

    double floatValue(const std::string& text) const {
        if (text == "-inf") return -std::numeric_limits<double>::infinity();
        if (text == "-nan") return -std::numeric_limits<double>::quiet_NaN();
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size()) fail("invalid number '" + text + "'");
        return value;
    }

    // Integers keep all 64 bits; uint64 values above the int64 range are
    // carried in the same bits.
    int64_t integerValue(const std::string& text, DataType type) const {
        const char* first = text.c_str();
        const char* last = first + text.size();
        if (*first == '+') ++first;
        if (type == DataType::UInt64 && *first != '-') {
            uint64_t value = 0;
            const auto [end, error] = std::from_chars(first, last, value);
            if (error != std::errc() || end != last) fail("invalid integer '" + text + "'");
            int64_t bits;
            std::memcpy(&bits, &value, sizeof bits);
            return bits;
        }
        int64_t value = 0;
        const auto [end, error] = std::from_chars(first, last, value);
        if (error != std::errc() || end != last) fail("invalid integer '" + text + "'");
        return value;
    }

    void storeIntegers(Tensor& result) const {
        std::byte* out = result.mutableBytes();
        const size_t size = elementSize(result.dataType());
        for (size_t i = 0; i < integers_.size(); ++i) {
            const int64_t value = integers_[i];
            if (size == 8) {
                std::memcpy(out + i * 8, &value, 8);
            } else {
                setNumber(result, static_cast<int64_t>(i), static_cast<double>(value));
            }
        }
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    int depth_ = 0;
    bool isDict_ = false;
    std::vector<double> elements_;
    std::vector<int64_t> integers_;
};

}  // namespace

Program parseProgram(std::string_view text) {
    return Parser(tokenizeProgram(text)).program();
}

}  // namespace platform::coreml::runtime
