#include "platform/text/Regex.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::text {
namespace {

std::vector<std::string> matchedTexts(const Regex& regex, std::string_view text) {
    std::vector<std::string> texts;
    for (const auto& match : regex.matches(text)) texts.emplace_back(text.substr(match.range.begin, match.range.size()));
    return texts;
}

TEST(Regex, FindsEveryMatchOfTheSyntaxTokenizerFilesUse) {
    const std::string gpt2 = R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)";
    struct Case {
        std::string pattern;
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {gpt2, "Hello world", {"Hello", " world"}},
        {gpt2, "I'm  fine.\n", {"I", "'m", " ", " fine", ".", "\n"}},
        {gpt2, "café 2024 日本語", {"café", " 2024", " 日本語"}},
        {R"((?i:'s|'t)|\p{N}{1,3})", "IT'S 12345", {"'S", "123", "45"}},
        {R"(\S+)", "  a\tb\u3000c ", {"a", "b", "c"}},
        {R"([\p{P}\u0021-\u002F]+)", "a,b$c!?", {",", "$", "!?"}},
        {"\u2581", "\u2581a\u2581b", {"\u2581", "\u2581"}},
        {"x", "", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchedTexts(Regex(c.pattern), c.text), c.expected) << c.pattern << " on " << c.text;
    }
}

TEST(Regex, ReportsUtf8ByteRangesAndCaptureGroups) {
    const Regex regex("(é)|(x)");
    const auto matches = regex.matches("aé😀x");
    ASSERT_EQ(matches.size(), 2u);
    EXPECT_EQ(matches[0].range, (Regex::Range{1, 3}));
    ASSERT_EQ(matches[0].groups.size(), 2u);
    EXPECT_EQ(matches[0].groups[0], (Regex::Range{1, 3}));
    EXPECT_FALSE(matches[0].groups[1].has_value());
    EXPECT_EQ(matches[1].range, (Regex::Range{7, 8}));
    EXPECT_FALSE(matches[1].groups[0].has_value());
    EXPECT_EQ(regex.groupCount(), 2u);
}

TEST(Regex, EmptyMatchesAdvanceOneCodePointAndEnd) {
    const Regex regex("x*");
    const auto matches = regex.matches("aé😀");
    std::vector<Regex::Range> ranges;
    for (const auto& m : matches) ranges.push_back(m.range);
    EXPECT_EQ(ranges, (std::vector<Regex::Range>{{0, 0}, {1, 1}, {3, 3}, {7, 7}}));
    EXPECT_EQ(regex.matchRanges("aé😀"), ranges);
    EXPECT_EQ(regex.replacingMatches("ab", "-"), "-a-b-");
}

TEST(Regex, IllFormedBytesSearchAsReplacementCharactersAndSurviveReplacement) {
    const Regex letters(R"(\p{L}+)");
    const std::string text = "ab\xFF" "cd";
    EXPECT_EQ(matchedTexts(letters, text), (std::vector<std::string>{"ab", "cd"}));
    EXPECT_EQ(Regex("\uFFFD").matches(text).size(), 1u);
    EXPECT_EQ(Regex("c").replacingMatches(text, "C"), "ab\xFF" "Cd");
}

TEST(Regex, ReplacementTemplatesExpandGroupsAndEscapes) {
    struct Case {
        std::string pattern, text, replacement, expected;
    };
    const std::vector<Case> cases = {
        {R"(\s(\.|\?|n't))", "a . b ? don't isn't", "$1", "a. b? don't isn't"},
        {"(a)(b)", "abab", "$2$1", "baba"},
        {"a", "banana", R"(\$1)", "b$1n$1n$1"},
        {"nomatch", "text stays", "x", "text stays"},
        {" ", "a b", "\u2581", "a\u2581b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Regex(c.pattern).replacingMatches(c.text, c.replacement), c.expected) << c.pattern;
    }
    EXPECT_EQ(Regex("a").replacingMatches("a", Regex::escapedTemplate("$1\\")), "$1\\");
    const Regex oneGroup("(a)");
    for (const std::string valid : {"", "$0$1", "x\\$9", "\\\\", "$10"}) {
        EXPECT_TRUE(oneGroup.isValidTemplate(valid)) << valid;
        EXPECT_NO_THROW(oneGroup.replacingMatches("a", valid)) << valid;
    }
    for (const std::string invalid : {"$2", "$", "a$b", "${x"}) {
        EXPECT_FALSE(oneGroup.isValidTemplate(invalid)) << invalid;
        EXPECT_THROW(oneGroup.replacingMatches("a", invalid), Regex::Error) << invalid;
    }
}

TEST(Regex, FailuresAreTypedErrors) {
    const auto kindOf = [](auto&& action) {
        try {
            action();
        } catch (const Regex::Error& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no error thrown";
        return Regex::Error::Kind::invalidPattern;
    };
    EXPECT_EQ(kindOf([] { Regex("(unclosed"); }), Regex::Error::Kind::invalidPattern);
    EXPECT_EQ(kindOf([] { Regex("[z-a]"); }), Regex::Error::Kind::invalidPattern);
    EXPECT_EQ(kindOf([] { Regex("(a)").replacingMatches("a", "$2"); }), Regex::Error::Kind::invalidTemplate);
    const std::string hostile(40, 'a');
    EXPECT_EQ(kindOf([&] { Regex("(a|aa)+$").matches(hostile + "b"); }), Regex::Error::Kind::searchTooComplex);
}

TEST(Regex, EscapedPatternMatchesTheLiteralOnly) {
    for (const std::string literal : {"<|endoftext|>", "[CLS]", "a.b*c", "\\E\\Q", "(?i)x", "$^{}", "日本 語", "#x y", "tab\tnew\nline"}) {
        const Regex regex(Regex::escapedPattern(literal));
        const std::string text = "before" + literal + "after";
        const auto matches = regex.matches(text);
        ASSERT_EQ(matches.size(), 1u) << literal;
        EXPECT_EQ(matches[0].range, (Regex::Range{6, 6 + literal.size()})) << literal;
    }
}

} // namespace
} // namespace platform::text
