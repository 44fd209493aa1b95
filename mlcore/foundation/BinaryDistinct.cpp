#include "mlcore/foundation/BinaryDistinct.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/text/CaseMapping.h"
#include "platform/text/Graphemes.h"
#include "platform/text/Utf.h"

namespace celvan {
namespace {

[[noreturn]] void throwIndexOutOfBounds() { throw std::out_of_range("Index out of bounds"); }

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The unit offset at which scalar number `scalar` begins (or the end of the
// text when there are not that many scalars).
std::size_t unitOffsetOfScalar(const std::u16string& units, int64_t scalar) {
    std::size_t offset = 0;
    for (int64_t n = 0; n < scalar && offset < units.size(); ++n) {
        const bool pair = isHighSurrogate(units[offset]) && offset + 1 < units.size() &&
                          isLowSurrogate(units[offset + 1]);
        offset += pair ? 2 : 1;
    }
    return offset;
}

// Keys and member names are nearly always plain ASCII, which needs no decoding.
std::u16string unitsOf(std::string_view text) {
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return std::u16string(text.begin(), text.end());
    return platform::text::toUtf16(text);
}

}  // namespace

BinaryDistinctCharacter::BinaryDistinctCharacter(std::string_view text)
    : bytes_(platform::text::toUtf16(text)) {}

std::string BinaryDistinctCharacter::description() const {
    std::string units;
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "\"0x%02X\"", static_cast<unsigned>(bytes_[i]));
        if (i > 0) units += ", ";
        units += hex;
    }
    return "BinaryDistinctCharacter('" + platform::text::toUtf8(bytes_) + "', bytes: [" + units +
           "])";
}

BinaryDistinctString::BinaryDistinctString(std::string_view text) : value_(unitsOf(text)) {}

BinaryDistinctString::BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters) {
    for (const auto& character : characters) value_ += character.bytes();
}

std::string BinaryDistinctString::string() const { return platform::text::toUtf8(value_); }

std::size_t BinaryDistinctString::count() const {
    return platform::text::graphemeCount(string());
}

int64_t BinaryDistinctString::index(int64_t i, int64_t offsetBy) const {
    const int64_t result = i + offsetBy;
    if (result < 0 || result > static_cast<int64_t>(count())) throwIndexOutOfBounds();
    return result;
}

std::optional<int64_t> BinaryDistinctString::index(int64_t i, int64_t offsetBy,
                                                   int64_t limitedBy) const {
    const int64_t result = i + offsetBy;
    if (result > limitedBy) return std::nullopt;
    return result;
}

BinaryDistinctString BinaryDistinctString::slice(int64_t lower, int64_t upper) const {
    if (lower < 0 || upper < lower || upper > static_cast<int64_t>(count())) {
        throwIndexOutOfBounds();
    }
    const std::size_t start = unitOffsetOfScalar(value_, lower);
    const std::size_t end = unitOffsetOfScalar(value_, upper);
    return BinaryDistinctString(value_.substr(start, end - start));
}

BinaryDistinctString BinaryDistinctString::slice(int64_t lower) const {
    if (lower < 0 || lower > static_cast<int64_t>(count())) throwIndexOutOfBounds();
    return BinaryDistinctString(value_.substr(unitOffsetOfScalar(value_, lower)));
}

bool BinaryDistinctString::hasPrefix(const BinaryDistinctString& prefix) const noexcept {
    return value_.starts_with(prefix.value_);
}

bool BinaryDistinctString::hasSuffix(const BinaryDistinctString& suffix) const noexcept {
    return value_.ends_with(suffix.value_);
}

BinaryDistinctString BinaryDistinctString::lowercased() const {
    return BinaryDistinctString(platform::text::lowercased(string()));
}

// Matches character by character under canonical equivalence, as ordinary
// text search does, so a precomposed é in the text matches e + U+0301.
BinaryDistinctString BinaryDistinctString::replacingOccurrences(
    const BinaryDistinctString& target, const BinaryDistinctString& replacement) const {
    const std::string text = string();
    const std::string targetText = target.string();
    const auto characters = platform::text::graphemeClusters(text);
    const auto targetCharacters = platform::text::graphemeClusters(targetText);
    if (targetCharacters.empty()) return *this;

    std::string result;
    const std::string replacementText = replacement.string();
    std::size_t i = 0;
    while (i < characters.size()) {
        bool matches = i + targetCharacters.size() <= characters.size();
        for (std::size_t k = 0; matches && k < targetCharacters.size(); ++k) {
            matches = platform::text::charactersEqual(characters[i + k], targetCharacters[k]);
        }
        if (matches) {
            result += replacementText;
            i += targetCharacters.size();
        } else {
            result += characters[i];
            ++i;
        }
    }
    return BinaryDistinctString(result);
}

BinaryDistinctString::Iterator BinaryDistinctString::begin() const {
    auto characters = std::make_shared<std::vector<BinaryDistinctCharacter>>();
    const std::string text = string();
    for (std::string_view cluster : platform::text::graphemeClusters(text)) {
        characters->emplace_back(cluster);
    }
    return Iterator(std::move(characters));
}

BinaryDistinctString::Iterator BinaryDistinctString::end() const { return Iterator(); }

}  // namespace celvan
