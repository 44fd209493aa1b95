#include "mlcore/tokenizers/AddedTokenSplitter.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

using Pieces = std::vector<std::string>;
using Entry = AddedTokenSplitter::Entry;

TEST(AddedTokenSplitter, CutsAtTheLeftmostLongestToken) {
    struct Case {
        std::string name;
        std::vector<Entry> entries;
        std::string text;
        Pieces expected;
    };
    const std::vector<Case> cases = {
        {"longer token wins over its prefix, whatever the order", {{"<a>"}, {"<a>b"}}, "x<a>by<a>",
         {"x", "<a>b", "y", "<a>"}},
        {"text that starts with a token", {{"<s>"}}, "<s>hi", {"<s>", "hi"}},
        {"adjacent tokens leave no empty piece", {{"<s>"}}, "<s><s>", {"<s>", "<s>"}},
        {"lstrip takes the whitespace before", {{"<m>", true, false}}, "a  <m>b", {"a", "<m>", "b"}},
        {"rstrip takes the whitespace after", {{"<m>", false, true}}, "a <m> \n b", {"a ", "<m>", "b"}},
        {"no match is the whole text", {{"<s>"}}, "plain", {"plain"}},
        {"no tokens is the whole text", {}, "plain <s>", {"plain <s>"}},
        {"an empty token matches nowhere", {{""}}, "ab", {"ab"}},
        {"empty text has no pieces", {{"<s>"}}, "", {}},
        {"multi-byte text around tokens", {{"|"}}, "é|ü", {"é", "|", "ü"}},
    };
    for (const auto& c : cases) EXPECT_EQ(AddedTokenSplitter(c.entries).split(c.text), c.expected) << c.name;
}

TEST(AddedTokenSplitter, EqualLengthsKeepTheFileOrder) {
    // Both match at the same place only if one is the other's prefix in
    // bytes but not in characters: "e" and "e" + combining acute are both
    // one character long.
    const AddedTokenSplitter acuteFirst({{"e\u0301"}, {"e"}});
    EXPECT_EQ(acuteFirst.split("e\u0301x"), (Pieces{"e\u0301", "x"}));
    const AddedTokenSplitter plainFirst({{"e"}, {"e\u0301"}});
    EXPECT_EQ(plainFirst.split("e\u0301x"), (Pieces{"e", "\u0301x"}));
}

TEST(AddedTokenSplitter, LongWhitespaceRunsStayLinear) {
    const AddedTokenSplitter splitter({{"<m>", true, true}});
    const std::string spaces(200000, ' ');
    EXPECT_EQ(splitter.split(spaces + "x"), (Pieces{spaces + "x"}));
    EXPECT_EQ(splitter.split("a" + spaces + "<m>" + spaces + "b"), (Pieces{"a", "<m>", "b"}));
}

} // namespace
} // namespace celvan
