#include "platform/text/CaseMapping.h"
#include "platform/text/UnicodeProperties.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(CaseMapping, LowercasesEachScalarWithoutContext) {
    const struct {
        std::string input, expected;
    } cases[] = {
        {"", ""},
        {"Hello WORLD 123", "hello world 123"},
        {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},                    // ÉTÉ
        {"\xC4\xB0", "i\xCC\x87"},                                      // İ expands to two scalars
        {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x83"},                      // final Σ stays σ
        {"\xE1\xBE\x88", "\xE1\xBE\x80"},                              // titlecase ᾈ
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                      // Deseret, outside the BMP
        {"\xE1\xBA\x9E", "\xC3\x9F"},                                   // capital sharp s
        {"a\xFF" "B", "a\xEF\xBF\xBD" "b"},                             // repaired, not dropped
    };
    for (const auto& c : cases) EXPECT_EQ(lowercased(c.input), c.expected) << c.input;
    EXPECT_EQ(lowercaseMapping(U'K'), "k");
    EXPECT_EQ(lowercaseMapping(0x212A), "k");  // Kelvin sign
}

TEST(UnicodeProperties, ClassifiesScalars) {
    const struct {
        char32_t scalar;
        bool upper, whiteSpace, punctuation, whitespaces, whitespacesAndNewlines;
    } cases[] = {
        {U'A', true, false, false, false, false},
        {U'a', false, false, false, false, false},
        {0x01C5, true, false, false, false, false},   // titlecase Dž
        {0x2160, false, false, false, false, false},  // Roman numeral one is Nl
        {U' ', false, true, false, true, true},
        {U'\t', false, true, false, true, true},
        {U'\n', false, true, false, false, true},
        {U'\r', false, true, false, false, true},
        {0x85, false, true, false, false, true},
        {0xA0, false, true, false, true, true},
        {0x2028, false, true, false, false, true},    // line separator
        {0x3000, false, true, false, true, true},
        {0x200B, false, false, false, false, false},  // zero width space is Cf
        {U'.', false, false, true, false, false},
        {U'-', false, false, true, false, false},
        {U'$', false, false, false, false, false},     // a symbol, not punctuation
        {0x2013, false, false, true, false, false},
        {0x3001, false, false, true, false, false},
        {0xFFFF, false, false, false, false, false},
        {0x110000, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<uint32_t>(c.scalar));
        EXPECT_EQ(isUppercaseLetter(c.scalar), c.upper);
        EXPECT_EQ(isWhiteSpace(c.scalar), c.whiteSpace);
        EXPECT_EQ(isPunctuation(c.scalar), c.punctuation);
        EXPECT_EQ(isInWhitespaces(c.scalar), c.whitespaces);
        EXPECT_EQ(isInWhitespacesAndNewlines(c.scalar), c.whitespacesAndNewlines);
    }
}

TEST(UnicodeProperties, TrimsScalarsOfTheSetFromBothEnds) {
    EXPECT_EQ(trimmingWhitespacesAndNewlines(" \t\nab c\r\n\xE3\x80\x80"), "ab c");
    EXPECT_EQ(trimmingWhitespacesAndNewlines("\n \n"), "");
    EXPECT_EQ(trimmingWhitespacesAndNewlines(""), "");
    EXPECT_EQ(trimmingWhitespaces("\n x \n"), "\n x \n");
    EXPECT_EQ(trimmingWhitespaces("\t x\xC2\xA0"), "x");
    EXPECT_EQ(trimmingWhitespacesAndNewlines(" \xFF "), "\xFF");
}

} // namespace
} // namespace platform::text
