#include "mlcore/tokenizers/StringPreTokenization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

using platform::text::Regex;
using Pieces = std::vector<std::string>;

TEST(StringPreTokenization, SplitsByEveryDelimiterBehavior) {
    struct Case {
        std::string text;
        std::string pattern;
        SplitDelimiterBehavior behavior;
        bool invert;
        Pieces expected;
    };
    using B = SplitDelimiterBehavior;
    const std::vector<Case> cases = {
        {"the-final--countdown", "-", B::removed, false, {"the", "final", "countdown"}},
        {"the-final--countdown", "-", B::isolated, false, {"the", "-", "final", "-", "-", "countdown"}},
        {"the-final--countdown", "-", B::mergedWithPrevious, false, {"the-", "final-", "-", "countdown"}},
        {"the-final--countdown", "-", B::mergedWithNext, false, {"the", "-final", "-", "-countdown"}},
        {"the-final--countdown", "-", B::contiguous, false, {"the", "-", "final", "--", "countdown"}},
        {"-a-", "-", B::mergedWithNext, false, {"-a", "-"}},
        {"-a-", "-", B::mergedWithPrevious, false, {"-", "a-"}},
        {"Hello, world!", R"(\w+)", B::removed, true, {"Hello", "world"}},
        {"Hello, world!", R"(\w+)", B::isolated, true, {"Hello", ", ", "world", "!"}},
        {"\u2581Hey\u2581\u2581friend", "\u2581", B::mergedWithNext, false, {"\u2581Hey", "\u2581", "\u2581friend"}},
        {"", "-", B::isolated, false, {}},
        {"no delimiters", "-", B::removed, false, {"no delimiters"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.text, ranges(c.text, Regex(c.pattern)), c.behavior, c.invert), c.expected)
            << c.text << " at " << c.pattern << " behavior " << static_cast<int>(c.behavior);
    }
}

TEST(StringPreTokenization, PatternsThatMatchNothingStillEnd) {
    const std::string text = "ab";
    const auto found = ranges(text, Regex("x*"));
    EXPECT_EQ(found.size(), 3u);
    EXPECT_EQ(split(text, found, SplitDelimiterBehavior::isolated), (Pieces{"a", "b"}));
    EXPECT_EQ(split(text, found, SplitDelimiterBehavior::mergedWithNext), (Pieces{"a", "b"}));
}

TEST(StringPreTokenization, LiteralRangesDoNotOverlap) {
    EXPECT_EQ(ranges("aaaa", std::string_view("aa")), (std::vector<TextRange>{{0, 2}, {2, 4}}));
    EXPECT_TRUE(ranges("abc", std::string_view("")).empty());
    EXPECT_EQ(replacingOccurrences("a b  c", " ", "\u2581"), "a\u2581b\u2581\u2581c");
    EXPECT_EQ(replacingOccurrences("aaa", "aa", "b"), "ba");
    EXPECT_EQ(replacingOccurrences("abc", "", "x"), "abc");
}

TEST(StringPreTokenization, SplitAroundMatchesKeepsTheCapturedText) {
    const Regex addedTokens(R"(\s*(<\|endoftext\|>)|(<s>)\s*)");
    struct Case {
        std::string text;
        Pieces expected;
    };
    const std::vector<Case> cases = {
        {"Hello <|endoftext|>world", {"Hello", "<|endoftext|>", "world"}},
        {"<s>  hi", {"<s>", "hi"}},
        {"<s><|endoftext|>", {"<s>", "<|endoftext|>"}},
        {"plain text", {"plain text"}},
        {"", {""}},
    };
    for (const auto& c : cases) EXPECT_EQ(split(c.text, addedTokens), c.expected) << c.text;
    EXPECT_EQ(split("a<s>b<s>", Regex("<s>")), (Pieces{"a", "<s>", "b", "<s>"}));
}

} // namespace
} // namespace celvan
