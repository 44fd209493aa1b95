#include "platform/text/UnicodeProperties.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace platform::text {
namespace {

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

TEST(UnicodeProperties, TellsLettersAndNumbers) {
    const struct {
        char32_t scalar;
        bool letter, number;
    } cases[] = {
        {U'a', true, false},    {U'Z', true, false},   {0x01C5, true, false},  // titlecase Dž
        {0x02B0, true, false},  // modifier letter is Lm
        {0x65E5, true, false},  // 日 is Lo
        {0x0301, false, false},  // a combining accent is Mn, no letter
        {U'7', false, true},    {0x0663, false, true},  // Arabic-Indic three
        {0x2160, false, true},  // Roman numeral one is Nl
        {0x00BD, false, true},  // one half is No
        {U'_', false, false},   {U' ', false, false},  {0xFFFD, false, false}, {0x110000, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<uint32_t>(c.scalar));
        EXPECT_EQ(isLetter(c.scalar), c.letter);
        EXPECT_EQ(isNumber(c.scalar), c.number);
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
