#include "mlcore/tokenizers/SplitExpressions.h"

#include "mlcore/tokenizers/Vocabulary.h"
#include "platform/text/UnicodeProperties.h"

#include <array>
#include <cstdint>

namespace celvan {
namespace {

// The classes both expressions tell apart: \p{L}, \p{N}, \s and the rest.
enum class CharacterClass : uint8_t { letter, number, whiteSpace, other };

CharacterClass classOfScalar(char32_t scalar) {
    if (platform::text::isLetter(scalar)) return CharacterClass::letter;
    if (platform::text::isNumber(scalar)) return CharacterClass::number;
    if (platform::text::isWhiteSpace(scalar)) return CharacterClass::whiteSpace;
    return CharacterClass::other;
}

// Most text is ASCII; its classes are asked of the Unicode tables once.
const std::array<CharacterClass, 128>& asciiClasses() {
    static const auto classes = [] {
        std::array<CharacterClass, 128> table{};
        for (char32_t byte = 0; byte < 128; ++byte) table[byte] = classOfScalar(byte);
        return table;
    }();
    return classes;
}

// The class of the scalar at offset, and its length in bytes.
CharacterClass classAt(std::string_view text, std::size_t offset, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[offset]);
    if (lead < 0x80) {
        length = 1;
        return asciiClasses()[lead];
    }
    length = scalarLength(text, offset);
    return classOfScalar(scalarAt(text, offset));
}

// The length of the contraction ('s, 't, 're, 've, 'm, 'll or 'd) that
// starts the text, or zero. Ignoring case, s also matches U+017F (long s),
// whose case folding is s; no other letter of these has such a twin.
std::size_t contractionLength(std::string_view text, bool ignoringCase) {
    if (text.size() < 2 || text[0] != '\'') return 0;
    auto is = [&](std::size_t at, char lower) {
        if (at >= text.size()) return false;
        return text[at] == lower || (ignoringCase && text[at] == lower - 'a' + 'A');
    };
    if (is(1, 's') || is(1, 't') || is(1, 'm') || is(1, 'd')) return 2;
    if ((is(1, 'r') || is(1, 'v')) && is(2, 'e')) return 3;
    if (is(1, 'l') && is(2, 'l')) return 3;
    if (ignoringCase && text.substr(1, 2) == "\u017F") return 3;
    return 0;
}

bool isLineBreak(char byte) { return byte == '\r' || byte == '\n'; }

// The end of the run of one class that starts at offset.
std::size_t runEnd(std::string_view text, std::size_t offset, CharacterClass kind) {
    std::size_t length = 0;
    while (offset < text.size() && classAt(text, offset, length) == kind) offset += length;
    return offset;
}

} // namespace

std::vector<TextRange> byteLevelRanges(std::string_view text) {
    std::vector<TextRange> ranges;
    ranges.reserve(text.size() / 4 + 1);
    std::size_t position = 0;
    std::size_t length = 0;
    while (position < text.size()) {
        if (const std::size_t contraction = contractionLength(text.substr(position), false)) {
            ranges.push_back({position, position + contraction});
            position += contraction;
            continue;
        }
        CharacterClass kind = classAt(text, position, length);
        std::size_t runStart = position;
        // One space leads a run of letters, digits or other symbols.
        if (text[position] == ' ' && position + 1 < text.size()) {
            std::size_t nextLength = 0;
            const CharacterClass next = classAt(text, position + 1, nextLength);
            if (next != CharacterClass::whiteSpace) {
                kind = next;
                runStart = position + 1;
                length = nextLength;
            }
        }
        std::size_t end = runStart + length;
        if (kind != CharacterClass::whiteSpace) {
            end = runEnd(text, end, kind);
        } else {
            // Whitespace before other text leaves its last character to lead
            // that text, unless it is only that one character.
            std::size_t last = runStart;
            std::size_t count = 1;
            while (end < text.size() && classAt(text, end, length) == CharacterClass::whiteSpace) {
                last = end;
                end += length;
                ++count;
            }
            if (end < text.size() && count >= 2) end = last;
        }
        ranges.push_back({position, end});
        position = end;
    }
    return ranges;
}

std::vector<TextRange> llama3Ranges(std::string_view text) {
    std::vector<TextRange> ranges;
    ranges.reserve(text.size() / 4 + 1);
    std::size_t position = 0;
    std::size_t length = 0;
    auto take = [&](std::size_t end) {
        ranges.push_back({position, end});
        position = end;
    };
    while (position < text.size()) {
        if (const std::size_t contraction = contractionLength(text.substr(position), true)) {
            take(position + contraction);
            continue;
        }
        const CharacterClass kind = classAt(text, position, length);
        const std::size_t next = position + length;
        std::size_t nextLength = 0;
        const CharacterClass nextKind =
            next < text.size() ? classAt(text, next, nextLength) : CharacterClass::whiteSpace;
        // Letters, led by at most one character that is no line break,
        // letter or digit.
        if (kind == CharacterClass::letter) {
            take(runEnd(text, next, CharacterClass::letter));
            continue;
        }
        if (kind != CharacterClass::number && !isLineBreak(text[position]) && next < text.size() &&
            nextKind == CharacterClass::letter) {
            take(runEnd(text, next + nextLength, CharacterClass::letter));
            continue;
        }
        // At most three digits.
        if (kind == CharacterClass::number) {
            std::size_t end = next;
            for (int digits = 1; digits < 3 && end < text.size() && classAt(text, end, length) == CharacterClass::number;
                 ++digits) {
                end += length;
            }
            take(end);
            continue;
        }
        // Other symbols, led by at most one space, with the line breaks after them.
        const bool spaceLed = text[position] == ' ' && next < text.size() && nextKind == CharacterClass::other;
        if (kind == CharacterClass::other || spaceLed) {
            std::size_t end = runEnd(text, spaceLed ? next : position, CharacterClass::other);
            while (end < text.size() && isLineBreak(text[end])) ++end;
            take(end);
            continue;
        }
        // Whitespace: up to its last line break if it has one; else all of it
        // before the end of the text, or all but its last character before
        // other text, unless it is only that one character.
        std::size_t end = position;
        std::size_t last = position;
        std::size_t afterLineBreak = 0;
        std::size_t count = 0;
        while (end < text.size() && classAt(text, end, length) == CharacterClass::whiteSpace) {
            if (isLineBreak(text[end])) afterLineBreak = end + 1;
            last = end;
            end += length;
            ++count;
        }
        if (afterLineBreak != 0) {
            take(afterLineBreak);
        } else if (end < text.size() && count >= 2) {
            take(last);
        } else {
            take(end);
        }
    }
    return ranges;
}

} // namespace celvan
