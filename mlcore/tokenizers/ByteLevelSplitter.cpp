#include "mlcore/tokenizers/ByteLevelSplitter.h"

#include "mlcore/tokenizers/Vocabulary.h"
#include "platform/text/UnicodeProperties.h"

#include <array>
#include <cstdint>

namespace celvan {
namespace {

// The classes the expression tells apart: \p{L}, \p{N}, \s and the rest.
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

// The length of the contraction ('s, 't, 're, 've, 'm, 'll or 'd, in lower
// case only) that starts the text, or zero.
std::size_t contractionLength(std::string_view text) {
    if (text.size() < 2 || text[0] != '\'') return 0;
    switch (text[1]) {
    case 's':
    case 't':
    case 'm':
    case 'd': return 2;
    case 'r':
    case 'v': return text.size() > 2 && text[2] == 'e' ? 3 : 0;
    case 'l': return text.size() > 2 && text[2] == 'l' ? 3 : 0;
    default: return 0;
    }
}

} // namespace

std::vector<TextRange> byteLevelRanges(std::string_view text) {
    std::vector<TextRange> ranges;
    ranges.reserve(text.size() / 4 + 1);
    std::size_t position = 0;
    std::size_t length = 0;
    while (position < text.size()) {
        if (const std::size_t contraction = contractionLength(text.substr(position))) {
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
            while (end < text.size() && classAt(text, end, length) == kind) end += length;
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

} // namespace celvan
