#include "mlcore/foundation/BinaryDistinct.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <unordered_set>

namespace celvan {
namespace {

const char* const kPrecomposedE = "\xC3\xA9";   // U+00E9
const char* const kDecomposedE = "e\xCC\x81";   // e + U+0301
const char* const kGrinning = "\xF0\x9F\x98\x80";  // U+1F600, a surrogate pair

TEST(BinaryDistinctString, ComparesByCodeUnitsWithoutNormalising) {
    BinaryDistinctString precomposed(kPrecomposedE);
    BinaryDistinctString decomposed(kDecomposedE);
    EXPECT_NE(precomposed, decomposed);
    EXPECT_NE(std::hash<BinaryDistinctString>()(precomposed),
              std::hash<BinaryDistinctString>()(decomposed));
    std::unordered_set<BinaryDistinctString> keys{precomposed, decomposed};
    EXPECT_EQ(keys.size(), 2u);
    EXPECT_EQ(precomposed.value(), u"\u00E9");
    EXPECT_EQ(decomposed.value(), u"e\u0301");
}

TEST(BinaryDistinctString, OrdersByUnsignedCodeUnits) {
    struct Case {
        BinaryDistinctString lower;
        BinaryDistinctString higher;
    };
    const Case cases[] = {
        {BinaryDistinctString(""), BinaryDistinctString("a")},
        {BinaryDistinctString("ab"), BinaryDistinctString("abc")},
        {BinaryDistinctString("B"), BinaryDistinctString("a")},
        // A code-point order would put U+E000 first.
        {BinaryDistinctString(kGrinning), BinaryDistinctString("\xEE\x80\x80")},
        {BinaryDistinctString("\x7F"), BinaryDistinctString("\xC2\x80")},
    };
    for (const auto& c : cases) {
        EXPECT_LT(c.lower, c.higher) << c.lower.string() << " < " << c.higher.string();
        EXPECT_GT(c.higher, c.lower);
        EXPECT_LE(c.lower, c.lower);
    }
}

TEST(BinaryDistinctString, CountsCharactersNotUnits) {
    struct Case {
        const char* text;
        std::size_t units;
        std::size_t characters;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"abc", 3, 3},
        {kGrinning, 2, 1},
        {kDecomposedE, 2, 1},
        {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 4, 1},  // a flag: two regional indicators
    };
    for (const auto& c : cases) {
        BinaryDistinctString text(c.text);
        EXPECT_EQ(text.value().size(), c.units) << c.text;
        EXPECT_EQ(text.count(), c.characters) << c.text;
        EXPECT_EQ(text.endIndex(), c.characters) << c.text;
    }
}

TEST(BinaryDistinctString, IteratesCharacterByCharacter) {
    BinaryDistinctString text(std::string("a") + kDecomposedE + kGrinning);
    std::vector<std::u16string> units;
    for (const BinaryDistinctCharacter& character : text) units.push_back(character.bytes());
    EXPECT_EQ(units, (std::vector<std::u16string>{u"a", u"e\u0301", u"\U0001F600"}));
    EXPECT_EQ(BinaryDistinctString(std::vector<BinaryDistinctCharacter>(text.begin(), text.end())),
              text);
    EXPECT_EQ(BinaryDistinctString("").begin(), BinaryDistinctString("").end());
}

TEST(BinaryDistinctString, PrefixAndSuffixAreChecked) {
    BinaryDistinctString text("hello");
    EXPECT_TRUE(text.hasPrefix(""));
    EXPECT_TRUE(text.hasPrefix("he"));
    EXPECT_FALSE(text.hasPrefix("hello!"));
    EXPECT_TRUE(text.hasSuffix("llo"));
    EXPECT_TRUE(text.hasSuffix(""));
    EXPECT_FALSE(text.hasSuffix("hhello"));
    EXPECT_FALSE(BinaryDistinctString("").hasSuffix("a"));
}

TEST(BinaryDistinctString, IndexAndSliceRespectTheBounds) {
    BinaryDistinctString ascii("abcdef");
    EXPECT_EQ(ascii.index(0, 6), 6);
    EXPECT_EQ(ascii.index(6, -6), 0);
    EXPECT_THROW(ascii.index(0, 7), std::out_of_range);
    EXPECT_THROW(ascii.index(0, -1), std::out_of_range);
    EXPECT_EQ(ascii.index(1, 3, 4), std::optional<int64_t>(4));
    EXPECT_EQ(ascii.index(1, 4, 4), std::nullopt);

    EXPECT_EQ(ascii.slice(1, 3), BinaryDistinctString("bc"));
    EXPECT_EQ(ascii.slice(6, 6), BinaryDistinctString(""));
    EXPECT_EQ(ascii.slice(4), BinaryDistinctString("ef"));
    EXPECT_THROW(ascii.slice(-1, 2), std::out_of_range);
    EXPECT_THROW(ascii.slice(2, 7), std::out_of_range);
    EXPECT_THROW(ascii.slice(3, 2), std::out_of_range);
    try {
        ascii.slice(0, 9);
    } catch (const std::out_of_range& error) {
        EXPECT_STREQ(error.what(), "Index out of bounds");
    }

    // Positions count scalars and the result never reaches past the units.
    BinaryDistinctString wide(std::string(kGrinning) + "x" + kGrinning);
    EXPECT_EQ(wide.slice(1, 2), BinaryDistinctString("x"));
    EXPECT_EQ(wide.slice(0, 1), BinaryDistinctString(kGrinning));
    EXPECT_EQ(wide.slice(2), BinaryDistinctString(kGrinning));
}

TEST(BinaryDistinctString, TextOperations) {
    EXPECT_EQ(BinaryDistinctString("ab") + BinaryDistinctString(kGrinning),
              BinaryDistinctString(std::string("ab") + kGrinning));
    EXPECT_EQ(BinaryDistinctString("\xC4\xB0Stanbul").lowercased(),
              BinaryDistinctString("i\xCC\x87stanbul"));
    EXPECT_EQ(BinaryDistinctString("a-b-c").replacingOccurrences("-", "+"),
              BinaryDistinctString("a+b+c"));
    // Search treats canonically equivalent characters as equal.
    EXPECT_EQ(BinaryDistinctString(std::string("caf") + kPrecomposedE)
                  .replacingOccurrences(BinaryDistinctString(kDecomposedE), "E"),
              BinaryDistinctString("cafE"));
    EXPECT_EQ(BinaryDistinctString("abc").replacingOccurrences("", "x"),
              BinaryDistinctString("abc"));
}

TEST(BinaryDistinctCharacter, DescribesTextAndUnits) {
    EXPECT_EQ(BinaryDistinctCharacter("A").description(),
              "BinaryDistinctCharacter('A', bytes: [\"0x41\"])");
    EXPECT_EQ(BinaryDistinctCharacter(kGrinning).description(),
              std::string("BinaryDistinctCharacter('") + kGrinning +
                  "', bytes: [\"0xD83D\", \"0xDE00\"])");
    EXPECT_NE(BinaryDistinctCharacter(kPrecomposedE), BinaryDistinctCharacter(kDecomposedE));
}

TEST(BinaryDistinctMap, MergesWithAStrategyForSharedKeys) {
    BinaryDistinctMap<int> map{{BinaryDistinctString("a"), 1}, {BinaryDistinctString("b"), 2}};
    const std::unordered_map<std::string, int> other{{"b", 10}, {"c", 3}};
    auto sum = [](int current, int incoming) { return current + incoming; };

    BinaryDistinctMap<int> merged = merging(map, other, sum);
    EXPECT_EQ(merged, (BinaryDistinctMap<int>{{BinaryDistinctString("a"), 1},
                                              {BinaryDistinctString("b"), 12},
                                              {BinaryDistinctString("c"), 3}}));
    EXPECT_EQ(map.size(), 2u);

    merge(map, BinaryDistinctMap<int>{{BinaryDistinctString("a"), 5}},
          [](int, int incoming) { return incoming; });
    EXPECT_EQ(map.at(BinaryDistinctString("a")), 5);
}

}  // namespace
}  // namespace celvan
