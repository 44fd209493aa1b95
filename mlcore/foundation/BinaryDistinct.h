#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace celvan {

// The UTF-16 code units of one character (extended grapheme cluster).
class BinaryDistinctCharacter {
public:
    explicit BinaryDistinctCharacter(std::u16string bytes) noexcept : bytes_(std::move(bytes)) {}
    BinaryDistinctCharacter(const char* text) : BinaryDistinctCharacter(std::string_view(text)) {}
    explicit BinaryDistinctCharacter(std::string_view text);

    const std::u16string& bytes() const noexcept { return bytes_; }

    // The text followed by each unit in hexadecimal, for debugging output.
    std::string description() const;

    friend bool operator==(const BinaryDistinctCharacter&, const BinaryDistinctCharacter&) = default;

private:
    std::u16string bytes_;
};

// Text held as UTF-16 code units and compared, ordered and hashed by those
// units alone. Unlike ordinary text comparison nothing is normalised, so a
// precomposed letter and the same letter with a combining mark stay distinct
// keys.
class BinaryDistinctString {
public:
    class Iterator;

    BinaryDistinctString() noexcept = default;
    explicit BinaryDistinctString(std::u16string value) noexcept : value_(std::move(value)) {}
    BinaryDistinctString(const char* text) : BinaryDistinctString(std::string_view(text)) {}
    // UTF-8 text; an ill-formed sequence becomes U+FFFD.
    explicit BinaryDistinctString(std::string_view text);
    explicit BinaryDistinctString(const std::string& text)
        : BinaryDistinctString(std::string_view(text)) {}
    explicit BinaryDistinctString(const std::vector<BinaryDistinctCharacter>& characters);
    explicit BinaryDistinctString(const BinaryDistinctCharacter& character)
        : value_(character.bytes()) {}

    const std::u16string& value() const noexcept { return value_; }

    // The text as UTF-8; an unpaired surrogate becomes U+FFFD.
    std::string string() const;
    std::string description() const { return string(); }

    // Characters (extended grapheme clusters), not code units.
    std::size_t count() const;
    std::size_t startIndex() const noexcept { return 0; }
    std::size_t endIndex() const { return count(); }

    // Positions outside 0 ... count() throw std::out_of_range("Index out of bounds").
    int64_t index(int64_t i, int64_t offsetBy) const;
    std::optional<int64_t> index(int64_t i, int64_t offsetBy, int64_t limitedBy) const;

    // The text between two positions counted in Unicode scalars. Bounds are
    // checked against count(); a bound outside it, or lower above upper,
    // throws std::out_of_range("Index out of bounds").
    BinaryDistinctString slice(int64_t lower, int64_t upper) const;
    // From a position to the end of the text.
    BinaryDistinctString slice(int64_t lower) const;

    bool hasPrefix(const BinaryDistinctString& prefix) const noexcept;
    bool hasSuffix(const BinaryDistinctString& suffix) const noexcept;
    BinaryDistinctString lowercased() const;
    BinaryDistinctString replacingOccurrences(const BinaryDistinctString& target,
                                              const BinaryDistinctString& replacement) const;

    // Iterates the characters, each as the code units of one grapheme cluster.
    Iterator begin() const;
    Iterator end() const;

    friend BinaryDistinctString operator+(const BinaryDistinctString& lhs,
                                          const BinaryDistinctString& rhs) {
        return BinaryDistinctString(lhs.value_ + rhs.value_);
    }
    friend bool operator==(const BinaryDistinctString&, const BinaryDistinctString&) = default;
    // Lexicographic over the units as unsigned numbers, so a character above
    // U+FFFF (a surrogate pair) orders before U+E000.
    friend std::strong_ordering operator<=>(const BinaryDistinctString& lhs,
                                            const BinaryDistinctString& rhs) noexcept {
        return lhs.value_ <=> rhs.value_;
    }

private:
    std::u16string value_;
};

// Input iterator over the characters; the string splits itself into clusters
// once per begin().
class BinaryDistinctString::Iterator {
public:
    using iterator_category = std::input_iterator_tag;
    using value_type = BinaryDistinctCharacter;
    using difference_type = std::ptrdiff_t;
    using pointer = const BinaryDistinctCharacter*;
    using reference = const BinaryDistinctCharacter&;

    Iterator() = default;

    reference operator*() const { return (*characters_)[position_]; }
    pointer operator->() const { return &(*characters_)[position_]; }
    Iterator& operator++() {
        ++position_;
        return *this;
    }
    Iterator operator++(int) {
        Iterator before = *this;
        ++position_;
        return before;
    }
    friend bool operator==(const Iterator& lhs, const Iterator& rhs) noexcept {
        if (lhs.atEnd() || rhs.atEnd()) return lhs.atEnd() == rhs.atEnd();
        return lhs.position_ == rhs.position_;
    }

private:
    friend class BinaryDistinctString;
    explicit Iterator(std::shared_ptr<const std::vector<BinaryDistinctCharacter>> characters)
        : characters_(std::move(characters)) {}

    bool atEnd() const noexcept { return !characters_ || position_ >= characters_->size(); }

    std::shared_ptr<const std::vector<BinaryDistinctCharacter>> characters_;
    std::size_t position_ = 0;
};

}  // namespace celvan

template <>
struct std::hash<celvan::BinaryDistinctString> {
    std::size_t operator()(const celvan::BinaryDistinctString& text) const noexcept {
        return std::hash<std::u16string_view>()(text.value());
    }
};

template <>
struct std::hash<celvan::BinaryDistinctCharacter> {
    std::size_t operator()(const celvan::BinaryDistinctCharacter& character) const noexcept {
        return std::hash<std::u16string_view>()(character.bytes());
    }
};

namespace celvan {

template <class Value>
using BinaryDistinctMap = std::unordered_map<BinaryDistinctString, Value>;

// Adds every entry of other; a key present in both keeps strategy(current, other's).
template <class Value, class Key, class Strategy>
void merge(BinaryDistinctMap<Value>& map, const std::unordered_map<Key, Value>& other,
           Strategy strategy) {
    for (const auto& [key, value] : other) {
        BinaryDistinctString converted(key);
        if (auto found = map.find(converted); found != map.end()) {
            found->second = strategy(found->second, value);
        } else {
            map.emplace(std::move(converted), value);
        }
    }
}

template <class Value, class Key, class Strategy>
BinaryDistinctMap<Value> merging(const BinaryDistinctMap<Value>& map,
                                 const std::unordered_map<Key, Value>& other, Strategy strategy) {
    BinaryDistinctMap<Value> result = map;
    merge(result, other, strategy);
    return result;
}

}  // namespace celvan
