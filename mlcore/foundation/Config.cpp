#include "mlcore/foundation/Config.h"

#include <cmath>
#include <limits>

#include "platform/foundation/HashCombine.h"
#include "platform/foundation/NumberFormatting.h"
#include "platform/text/CaseMapping.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

namespace celvan {
namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

const Config& nullConfig() {
    static const Config null;
    return null;
}

// Most keys and member names are ASCII; they skip the Unicode tables.
bool isUppercaseLetter(char32_t scalar) {
    if (scalar < 0x80) return scalar >= 'A' && scalar <= 'Z';
    return platform::text::isUppercaseLetter(scalar);
}

void appendLowercased(std::u16string& out, char32_t scalar) {
    if (scalar < 0x80) {
        out += static_cast<char16_t>(scalar - 'A' + 'a');
        return;
    }
    out += platform::text::toUtf16(platform::text::lowercaseMapping(scalar));
}

}  // namespace

// ---- Data ------------------------------------------------------------------

Config::Data::Data(Dictionary entries)
    : storage_(std::make_shared<const Dictionary>(std::move(entries))) {}

Config::Data::Data(Array elements)
    : storage_(std::make_shared<const Array>(std::move(elements))) {}

const Config::Dictionary* Config::Data::dictionaryValue() const noexcept {
    const auto* shared = std::get_if<std::shared_ptr<const Dictionary>>(&storage_);
    return shared ? shared->get() : nullptr;
}

const Config::Array* Config::Data::arrayValue() const noexcept {
    const auto* shared = std::get_if<std::shared_ptr<const Array>>(&storage_);
    return shared ? shared->get() : nullptr;
}

std::optional<bool> Config::Data::boolean() const {
    if (const bool* flag = booleanValue()) return *flag;
    if (const int64_t* number = integerValue()) return *number == 1;
    if (const BinaryDistinctString* text = stringValue()) {
        const std::string lowered = platform::text::lowercased(text->string());
        if (lowered == "true" || lowered == "t" || lowered == "1") return true;
        if (lowered == "false" || lowered == "f" || lowered == "0") return false;
    }
    return std::nullopt;
}

std::string Config::Data::description() const {
    switch (kind()) {
    case Kind::string: return "\"" + stringValue()->string() + "\"";
    case Kind::integer: return std::to_string(*integerValue());
    case Kind::boolean: return *booleanValue() ? "true" : "false";
    case Kind::floating: return platform::description(*floatingValue());
    case Kind::dictionary: {
        const Dictionary& entries = *dictionaryValue();
        if (entries.empty()) return "{[:]}";
        std::string out = "{[";
        bool first = true;
        for (const auto& [key, value] : entries) {
            if (!first) out += ", ";
            first = false;
            out += key.string() + ": " + value.description();
        }
        return out + "]}";
    }
    case Kind::array: {
        std::string out = "[[";
        bool first = true;
        for (const Config& element : *arrayValue()) {
            if (!first) out += ", ";
            first = false;
            out += element.description();
        }
        return out + "]]";
    }
    case Kind::token: {
        const Token& token = *tokenValue();
        return "(" + std::to_string(token.id) + ", " + token.text.string() + ")";
    }
    case Kind::null: return "null";
    }
    return "null";
}

bool operator==(const Config::Data& lhs, const Config::Data& rhs) {
    using Kind = Config::Data::Kind;
    switch (lhs.kind()) {
    case Kind::string:
        if (const auto* text = rhs.stringValue()) return *text == *lhs.stringValue();
        if (const bool* flag = rhs.booleanValue()) return lhs.boolean() == *flag;
        return false;
    case Kind::integer: {
        const int64_t number = *lhs.integerValue();
        if (const int64_t* other = rhs.integerValue()) return number == *other;
        if (const float* other = rhs.floatingValue()) return static_cast<float>(number) == *other;
        if (const bool* flag = rhs.booleanValue()) return (number == 1) == *flag;
        return false;
    }
    case Kind::boolean: {
        const auto reading = rhs.boolean();
        return reading.has_value() && *reading == *lhs.booleanValue();
    }
    case Kind::floating: {
        const float number = *lhs.floatingValue();
        if (const float* other = rhs.floatingValue()) return number == *other;
        if (const int64_t* other = rhs.integerValue()) return static_cast<float>(*other) == number;
        return false;
    }
    case Kind::dictionary: {
        const auto* other = rhs.dictionaryValue();
        const auto& entries = *lhs.dictionaryValue();
        if (!other || other->size() != entries.size()) return false;
        for (const auto& [key, value] : entries) {
            auto found = other->find(key);
            if (found == other->end() || !(found->second == value)) return false;
        }
        return true;
    }
    case Kind::array: {
        const auto* other = rhs.arrayValue();
        return other && *other == *lhs.arrayValue();
    }
    case Kind::token: {
        const auto* other = rhs.tokenValue();
        const auto& token = *lhs.tokenValue();
        return other && other->id == token.id && other->text == token.text;
    }
    case Kind::null: return rhs.kind() == Kind::null;
    }
    return false;
}

// ---- Construction ----------------------------------------------------------

Config Config::arrayLiteral(std::initializer_list<Config> elements) {
    return Config(Array(elements));
}

Config Config::dictionaryLiteral(
    std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
    Dictionary dictionary;
    dictionary.reserve(entries.size());
    for (const auto& [key, value] : entries) dictionary.insert_or_assign(key, value);
    return Config(std::move(dictionary));
}

// ---- Typed reads -----------------------------------------------------------

std::optional<std::string> Config::string() const {
    if (const auto* text = value_.stringValue()) return text->string();
    return std::nullopt;
}

std::optional<int64_t> Config::integer() const {
    if (const int64_t* number = value_.integerValue()) return *number;
    return std::nullopt;
}

std::optional<float> Config::floating() const {
    if (const float* number = value_.floatingValue()) return *number;
    if (const int64_t* number = value_.integerValue()) return static_cast<float>(*number);
    return std::nullopt;
}

std::optional<std::pair<uint64_t, std::string>> Config::token() const {
    if (const Token* token = value_.tokenValue()) return std::pair(token->id, token->text.string());
    const Array* elements = array();
    if (!elements || elements->size() != 2) return std::nullopt;
    const auto* text = (*elements)[0].value().stringValue();
    const int64_t* id = (*elements)[1].value().integerValue();
    // Ids are unsigned, so a negative one cannot name a token.
    if (!text || !id || *id < 0) return std::nullopt;
    return std::pair(static_cast<uint64_t>(*id), text->string());
}

std::optional<std::vector<std::string>> Config::get() const {
    const Array* elements = array();
    if (!elements) return std::nullopt;
    std::vector<std::string> texts;
    for (const Config& element : *elements) {
        if (const auto* text = element.value().stringValue()) texts.push_back(text->string());
    }
    return texts;
}

// ---- Lookup ----------------------------------------------------------------

const Config* Config::find(const BinaryDistinctString& key) const {
    const Dictionary* entries = dictionary();
    if (!entries || entries->empty()) return nullptr;
    if (auto found = entries->find(key); found != entries->end()) return &found->second;
    if (auto found = entries->find(uncamelCase(key)); found != entries->end()) {
        return &found->second;
    }
    return nullptr;
}

const Config& Config::operator[](const BinaryDistinctString& key) const {
    const Config* found = find(key);
    return found ? *found : nullConfig();
}

const Config& Config::operator[](std::string_view member) const {
    if (!dictionary()) return nullConfig();
    return (*this)[BinaryDistinctString(member)];
}

const Config* Config::member(std::string_view name) const {
    if (!dictionary()) return nullptr;
    return &(*this)[BinaryDistinctString(name)];
}

// An underscore goes before every upper-case letter that follows a character
// that is not one, and the letter is lower-cased: fuseUnk gives fuse_unk,
// HubID gives hub_id and addBOSToken gives add_bostoken.
BinaryDistinctString Config::uncamelCase(const BinaryDistinctString& key) {
    const std::u16string& units = key.value();
    std::u16string out;
    out.reserve(units.size() + 4);
    bool previousUppercase = true;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        char32_t scalar = unit;
        std::size_t width = 1;
        if (isHighSurrogate(unit) && i + 1 < units.size() && isLowSurrogate(units[i + 1])) {
            scalar = 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) +
                     (static_cast<char32_t>(units[i + 1]) - 0xDC00);
            width = 2;
        }
        // An unpaired surrogate is no letter and is kept as it is.
        const bool unpaired = width == 1 && (isHighSurrogate(unit) || isLowSurrogate(unit));
        const bool uppercase = !unpaired && isUppercaseLetter(scalar);
        if (uppercase) {
            if (!previousUppercase) out += u'_';
            appendLowercased(out, scalar);
        } else {
            out.append(units, i, width);
        }
        previousUppercase = uppercase;
        i += width - 1;
    }
    return BinaryDistinctString(std::move(out));
}

}  // namespace celvan

// ---- Hashing ---------------------------------------------------------------

using platform::hashCombine;

std::size_t std::hash<celvan::Config::Data>::operator()(
    const celvan::Config::Data& data) const noexcept {
    using Kind = celvan::Config::Data::Kind;
    std::size_t seed = static_cast<std::size_t>(data.kind());
    switch (data.kind()) {
    case Kind::string:
        return hashCombine(seed, std::hash<celvan::BinaryDistinctString>()(*data.stringValue()));
    case Kind::integer: return hashCombine(seed, std::hash<int64_t>()(*data.integerValue()));
    case Kind::boolean: return hashCombine(seed, std::hash<bool>()(*data.booleanValue()));
    case Kind::floating: {
        // +0 and -0 are equal, so they must hash alike.
        const float number = *data.floatingValue();
        return hashCombine(seed, std::hash<float>()(number == 0 ? 0.0f : number));
    }
    case Kind::dictionary: {
        // Summed so that the map's iteration order does not matter.
        std::size_t sum = 0;
        for (const auto& [key, value] : *data.dictionaryValue()) {
            sum += hashCombine(std::hash<celvan::BinaryDistinctString>()(key),
                           std::hash<celvan::Config>()(value));
        }
        return hashCombine(seed, sum);
    }
    case Kind::array:
        for (const auto& element : *data.arrayValue()) {
            seed = hashCombine(seed, std::hash<celvan::Config>()(element));
        }
        return seed;
    case Kind::token: {
        const auto& token = *data.tokenValue();
        seed = hashCombine(seed, std::hash<uint64_t>()(token.id));
        return hashCombine(seed, std::hash<celvan::BinaryDistinctString>()(token.text));
    }
    case Kind::null: return seed;
    }
    return seed;
}
