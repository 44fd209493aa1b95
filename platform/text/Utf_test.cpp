#include "platform/text/Utf.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

struct RepairCase {
    const char* name;
    std::string input;
    std::string expected;
};

const std::string kFFFD = "\xEF\xBF\xBD";

// One replacement per maximal subpart of an ill-formed sequence.
const RepairCase kRepairCases[] = {
    {"empty", "", ""},
    {"ascii", "hello", "hello"},
    {"embeddedNul", std::string("a\0b", 3), std::string("a\0b", 3)},
    {"wellFormedMixed", "h\xC3\xA9llo \xF0\x9F\x98\x80", "h\xC3\xA9llo \xF0\x9F\x98\x80"},
    {"loneContinuation", "a\x80z", "a" + kFFFD + "z"},
    {"twoContinuations", "\x80\x80", kFFFD + kFFFD},
    {"truncatedThreeByte", "\xE2\x82", kFFFD},
    {"truncatedFourByteThenAscii", "\xF0\x9F\x98!", kFFFD + "!"},
    {"overlongSlash", "\xC0\xAF", kFFFD + kFFFD},
    {"encodedSurrogate", "\xED\xA0\x80", kFFFD + kFFFD + kFFFD},
    {"beyondMaxScalar", "\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},
    {"invalidLeadByte", "\xFF", kFFFD},
    {"leadWithoutContinuationBeforeLead", "\xE2\xF0\x9F\x98\x80", kFFFD + "\xF0\x9F\x98\x80"},
};

class RepairTest : public ::testing::TestWithParam<RepairCase> {};

TEST_P(RepairTest, ReplacesEachMaximalSubpartOnce) {
    const auto& c = GetParam();
    EXPECT_EQ(repairUtf8(c.input), c.expected);
    EXPECT_EQ(toUtf8(toUtf16(c.input)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Utf8, RepairTest, ::testing::ValuesIn(kRepairCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16, SupplementaryScalarBecomesSurrogatePair) {
    EXPECT_EQ(toUtf16("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00"));
    EXPECT_EQ(toUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
}

TEST(Utf16, LoneSurrogatesAreRepaired) {
    const struct {
        std::u16string input;
        std::string expected;
    } cases[] = {
        {std::u16string(1, char16_t(0xD800)), kFFFD},
        {std::u16string(1, char16_t(0xDC00)), kFFFD},
        {std::u16string{char16_t(0xDC00), char16_t(0xD800)}, kFFFD + kFFFD},
        {std::u16string{u'a', char16_t(0xD83D), u'b'}, "a" + kFFFD + "b"},
    };
    for (const auto& c : cases) EXPECT_EQ(toUtf8(c.input), c.expected);
}

TEST(Utf16, LongTextRoundTrips) {
    std::string text;
    for (int i = 0; i < 10000; ++i) text += "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const auto utf16 = toUtf16(text);
    EXPECT_EQ(utf16.size(), 10000u * 5u);
    EXPECT_EQ(toUtf8(utf16), text);
}

} // namespace
} // namespace platform::text

namespace platform::text {
namespace {

TEST(Scalars, DecodeWithRepairAndEncodeBack) {
    EXPECT_EQ(toScalars("a\xC3\xA9\xF0\x9F\x98\x80"), std::u32string(U"a\u00E9\U0001F600"));
    EXPECT_EQ(toScalars("\xE2\x82" "a\xED\xA0\x80"), std::u32string(U"\uFFFDa\uFFFD\uFFFD\uFFFD"));
    EXPECT_EQ(toUtf8(std::u32string(U"a\u00E9\U0001F600")), "a\xC3\xA9\xF0\x9F\x98\x80");
    std::string out;
    appendUtf8(out, 0xD800);
    appendUtf8(out, 0x110000);
    EXPECT_EQ(out, "\xEF\xBF\xBD\xEF\xBF\xBD");
}

} // namespace
} // namespace platform::text
