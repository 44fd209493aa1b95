#include "mlcore/tokenizers/PreTokenizer.h"

#include "mlcore/tokenizers/ByteEncoder.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

using Pieces = std::vector<std::string>;
const PreTokenizerOptions kFirst{PreTokenizerOption::firstSection};

Pieces preTokenized(const std::string& json, const std::string& text, const PreTokenizerOptions& options = {}) {
    const auto preTokenizer = PreTokenizerFactory::fromConfig(testing::configFromJson(json));
    if (!preTokenizer) {
        ADD_FAILURE() << "no pre-tokenizer from " << json;
        return {};
    }
    return (*preTokenizer)(text, options);
}

TEST(PreTokenizer, CutsTextAsEachTypeSays) {
    struct Case {
        std::string json;
        std::string text;
        PreTokenizerOptions options;
        Pieces expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "BertPreTokenizer"})", "Hello, world! $5", {}, {"Hello", ",", "world", "!", "$", "5"}},
        {R"({"type": "BertPreTokenizer"})", "don't…", {}, {"don", "'", "t", "…"}},
        {R"({"type": "WhitespaceSplit"})", "hello, world\tnow", {}, {"hello,", "world", "now"}},
        // Word characters and other symbols part company; whitespace goes.
        {R"({"type": "Whitespace"})", "hello, world!!", {}, {"hello", ",", "world", "!!"}},
        {R"({"type": "Punctuation"})", "a!!b?", {}, {"a", "!", "!", "b", "?"}},
        {R"({"type": "Punctuation", "behavior": "Contiguous"})", "a!!b?", {}, {"a", "!!", "b", "?"}},
        {R"({"type": "Digits"})", "in 2024!", {}, {"in ", "2024", "!"}},
        {R"({"type": "Digits", "individual_digits": true})", "in 2024", {}, {"in ", "2", "0", "2", "4"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "always"})",
         "Hello world", {}, {"▁Hello", "▁world"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "first"})",
         "Hello world", {}, {"Hello", "▁world"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "first"})",
         "Hello world", kFirst, {"▁Hello", "▁world"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true, "prepend_scheme": "never"})",
         "Hello world", kFirst, {"Hello", "▁world"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": false})", "Hello world", kFirst,
         {"Hello", "▁world"}},
        // Newer files give the scheme alone.
        {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "first"})", "Hey", kFirst, {"▁Hey"}},
        {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": false})", "Hey you", {},
         {"▁Hey▁you"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true})", "▁Hey", {}, {"▁Hey"}},
        {R"({"type": "Metaspace"})", "Hello big world", {}, {"Hello", " big", " world"}},
        {R"({"type": "Split", "pattern": {"String": "-"}, "behavior": "Removed"})", "a-b--c", {}, {"a", "b", "c"}},
        {R"({"type": "Split", "pattern": {"String": "-"}, "behavior": "Isolated"})", "a-b", {}, {"a", "-", "b"}},
        {R"({"type": "Split", "pattern": {"Regex": "\\s+"}, "behavior": "MergedWithPrevious"})", "a  b c", {},
         {"a  ", "b ", "c"}},
        {R"({"type": "Split", "pattern": {"Regex": "\\w+"}, "behavior": "Removed", "invert": true})", "ab, cd", {},
         {"ab", "cd"}},
        {R"({"type": "Split", "pattern": {"Other": "x"}, "behavior": "Removed"})", "kept whole", {}, {"kept whole"}},
        {R"({"type": "Split", "pattern": {"Regex": "x*"}, "behavior": "Isolated"})", "ab", {}, {"a", "b"}},
        {R"({"type": "Split", "pattern": {"String": ""}, "behavior": "Isolated"})", "ab", {}, {"ab"}},
        {R"({"type": "Sequence", "pretokenizers": [{"type": "WhitespaceSplit"}, {"type": "Digits", "individual_digits": true}]})",
         "ab12 c3", {}, {"ab", "1", "2", "c", "3"}},
        {R"({"type": "Sequence", "pretokenizers": []})", "whole", {}, {"whole"}},
    };
    for (const auto& c : cases) EXPECT_EQ(preTokenized(c.json, c.text, c.options), c.expected) << c.json << " on " << c.text;
}

TEST(PreTokenizer, ByteLevelMapsBytesAfterSplitting) {
    const std::string space = byteEncoder()[' '];
    const std::string newline = byteEncoder()['\n'];
    struct Case {
        std::string json;
        std::string text;
        Pieces expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "ByteLevel", "add_prefix_space": false})", "Hello world", {"Hello", space + "world"}},
        {R"({"type": "ByteLevel", "add_prefix_space": true})", "Hello world", {space + "Hello", space + "world"}},
        // The prefix space is the section's, so punctuation keeps its spelling.
        {R"({"type": "ByteLevel", "add_prefix_space": true})", "Hi,you", {space + "Hi", ",", "you"}},
        {R"({"type": "ByteLevel", "add_prefix_space": true})", " Hi", {space + "Hi"}},
        {R"({"type": "ByteLevel"})", "I'm  ok\n", {"I", "'m", space, space + "ok", newline}},
        {R"({"type": "ByteLevel", "use_regex": false})", "a b", {"a" + space + "b"}},
        {R"({"type": "ByteLevel"})", "é", {"\u00C3\u00A9"}},
        {R"({"type": "ByteLevel"})", "", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(preTokenized(c.json, c.text), c.expected) << c.json << " on " << c.text;
}

TEST(PreTokenizer, ByteLevelExpressionSplitsAsGpt2Does) {
    const platform::text::Regex gpt2(R"('s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+)");
    for (const std::string text : {"I'm sure they're, you've, we'll 'd' 's'", "'''x 'S 'RE", "a  b\n\n  c 12ab"}) {
        EXPECT_EQ(ranges(text, byteLevelExpression()), ranges(text, gpt2)) << text;
    }
}

TEST(PreTokenizer, HostileSplitExpressionEndsInAnError) {
    const auto preTokenizer =
        PreTokenizerFactory::fromConfig(testing::configFromJson(R"({"type": "Split", "pattern": {"Regex": "(a|aa)+$"}})"));
    ASSERT_NE(preTokenizer, nullptr);
    EXPECT_THROW((*preTokenizer)(std::string(40, 'a') + "b"), platform::text::Regex::Error);
}

TEST(PreTokenizer, AbsentOrUntypedConfigurationGivesNoPreTokenizer) {
    for (const std::string json : {"null", "{}", R"({"type": false})", "[1]"}) {
        EXPECT_EQ(PreTokenizerFactory::fromConfig(testing::configFromJson(json)), nullptr) << json;
    }
}

TEST(PreTokenizer, UnusableConfigurationIsAnErrorWithItsMessage) {
    testing::expectRejected(
        {
            {R"({"type": ""})", "Unsupported PreTokenizer type: "},
            {R"({"type": "Bogus"})", "Unsupported PreTokenizer type: Bogus"},
            {R"({"type": "Sequence"})", "No pretokenizers in Sequence"},
            {R"({"type": "Sequence", "pretokenizers": [{"type": "Bogus"}]})", "Unsupported PreTokenizer type: Bogus"},
            {R"({"type": "Split", "pattern": {"Regex": "[unclosed"}, "behavior": "Isolated"})",
             "Cannot build regexp from [unclosed"},
            {R"({"type": "Split", "pattern": {"String": "x"}, "behavior": "Sideways"})", "Unsupported split behavior: Sideways"},
        },
        [](const Config& config) { PreTokenizerFactory::fromConfig(config); });
}

} // namespace
} // namespace celvan
