#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "mlcore/foundation/BinaryDistinct.h"

namespace platform {
class JSONValue;
}

namespace celvan {

// A JSON-like configuration value: the settings of a model's "config.json",
// "tokenizer_config.json" and "tokenizer.json". Reads never fail: a missing key
// gives null and a value of the wrong kind reads as absent, so that each
// caller decides what absence means.
//
// Values are immutable. Dictionaries and arrays are shared between copies, so
// copying a Config, even the root of a large tokenizer file, is cheap.
class Config {
public:
    using Dictionary = std::unordered_map<BinaryDistinctString, Config>;
    using Array = std::vector<Config>;

    struct Token {
        uint64_t id = 0;
        BinaryDistinctString text;
    };

    class Data {
    public:
        // In the order of the alternatives below.
        enum class Kind { string, integer, boolean, floating, dictionary, array, token, null };

        Data() noexcept = default;
        Data(BinaryDistinctString text) noexcept : storage_(std::move(text)) {}
        Data(int64_t number) noexcept : storage_(number) {}
        Data(bool flag) noexcept : storage_(flag) {}
        Data(float number) noexcept : storage_(number) {}
        Data(Dictionary entries);
        Data(Array elements);
        Data(Token token) noexcept : storage_(std::move(token)) {}

        Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }

        // The payload of each case; null when the value is of another case.
        const BinaryDistinctString* stringValue() const noexcept {
            return std::get_if<BinaryDistinctString>(&storage_);
        }
        const int64_t* integerValue() const noexcept { return std::get_if<int64_t>(&storage_); }
        const bool* booleanValue() const noexcept { return std::get_if<bool>(&storage_); }
        const float* floatingValue() const noexcept { return std::get_if<float>(&storage_); }
        const Dictionary* dictionaryValue() const noexcept;
        const Array* arrayValue() const noexcept;
        const Token* tokenValue() const noexcept { return std::get_if<Token>(&storage_); }

        // A boolean, the integer 1 (true) or any other integer (false), or a
        // string that lower-cases to "true", "t", "1", "false", "f" or "0".
        std::optional<bool> boolean() const;

        std::string description() const;

        // Equality crosses cases where the readings agree: 1 equals 1.0 and
        // true, true equals the string "T". A string never equals an integer.
        friend bool operator==(const Data& lhs, const Data& rhs);

    private:
        std::variant<BinaryDistinctString, int64_t, bool, float, std::shared_ptr<const Dictionary>,
                     std::shared_ptr<const Array>, Token, std::monostate>
            storage_{std::monostate{}};
    };

    Config() noexcept = default;
    Config(Data value) noexcept : value_(std::move(value)) {}
    Config(BinaryDistinctString text) noexcept : value_(std::move(text)) {}
    Config(const char* text) : value_(BinaryDistinctString(text)) {}
    Config(std::string_view text) : value_(BinaryDistinctString(text)) {}
    Config(const std::string& text) : value_(BinaryDistinctString(text)) {}
    Config(bool flag) noexcept : value_(flag) {}
    template <std::integral Integer>
        requires(!std::same_as<Integer, bool>)
    Config(Integer number) noexcept : value_(static_cast<int64_t>(number)) {}
    Config(float number) noexcept : value_(number) {}
    Config(double number) noexcept : value_(static_cast<float>(number)) {}
    Config(Dictionary entries) : value_(std::move(entries)) {}
    Config(Array elements) : value_(std::move(elements)) {}
    Config(Token token) noexcept : value_(std::move(token)) {}

    static Config arrayLiteral(std::initializer_list<Config> elements);
    // A key given twice keeps its later value.
    static Config dictionaryLiteral(
        std::initializer_list<std::pair<BinaryDistinctString, Config>> entries);

    // Rebuilds a parsed JSON tree with code-unit keys. JSON true and false
    // become the integers 1 and 0, a whole number within the signed 64-bit
    // range (2.0 included) an integer, any other number the nearest 32-bit
    // float. A key written twice in one object keeps its later value.
    static Config convertToBinaryDistinctKeys(const platform::JSONValue& value);

    // The structured coded form: unlike the conversion above, booleans stay
    // booleans and a two-element array [non-negative integer, string] is a
    // token. decode() never fails; a shape it does not know gives null.
    static Config decode(const platform::JSONValue& value);
    platform::JSONValue encode() const;

    const Data& value() const noexcept { return value_; }

    std::optional<std::string> string() const;
    std::optional<int64_t> integer() const;
    // The floating case, or an integer converted to the nearest float.
    std::optional<float> floating() const;
    std::optional<bool> boolean() const { return value_.boolean(); }
    // Null unless the value is of that case. The pointers stay valid as long
    // as this value or any copy of it lives.
    const Dictionary* dictionary() const noexcept { return value_.dictionaryValue(); }
    const Array* array() const noexcept { return value_.arrayValue(); }
    // A token, or a two-element array of a string then an integer (the shape
    // that tokenizer files use for special tokens).
    std::optional<std::pair<uint64_t, std::string>> token() const;
    // The texts of the string elements of an array; other elements are skipped.
    std::optional<std::vector<std::string>> get() const;

    // Looks a key up, trying the exact key first and then its snake_case form
    // ("fuseUnk" also finds "fuse_unk"). A missing key, or a receiver that is
    // not a dictionary, gives null.
    const Config& operator[](const BinaryDistinctString& key) const;
    const Config& operator[](std::string_view member) const;
    const Config& operator[](const char* member) const { return (*this)[std::string_view(member)]; }
    // The same lookup, but absent (null pointer) when the receiver is not a
    // dictionary; a missing key of a dictionary still gives a null Config.
    const Config* member(std::string_view name) const;

    std::string description() const { return value_.description(); }

    friend bool operator==(const Config& lhs, const Config& rhs) {
        return lhs.value_ == rhs.value_;
    }

private:
    static BinaryDistinctString uncamelCase(const BinaryDistinctString& key);
    const Config* find(const BinaryDistinctString& key) const;

    Data value_;
};

}  // namespace celvan

template <>
struct std::hash<celvan::Config::Data> {
    std::size_t operator()(const celvan::Config::Data& data) const noexcept;
};

template <>
struct std::hash<celvan::Config> {
    std::size_t operator()(const celvan::Config& config) const noexcept {
        return std::hash<celvan::Config::Data>()(config.value());
    }
};
