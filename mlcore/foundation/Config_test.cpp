#include "mlcore/foundation/Config.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace celvan {
namespace {

Config dict(std::initializer_list<std::pair<BinaryDistinctString, Config>> entries) {
    return Config::dictionaryLiteral(entries);
}

TEST(ConfigLookup, TriesTheExactKeyThenItsSnakeCaseForm) {
    struct Case {
        Config receiver;
        const char* name;
        Config expected;
    };
    const Case cases[] = {
        {dict({{"model_type", "bert"}}), "modelType", "bert"},
        {dict({{"modelType", "camel"}, {"model_type", "snake"}}), "modelType", "camel"},
        {dict({{"modelType", "camel"}}), "model_type", Config()},
        {dict({{"fuse_unk", true}}), "fuseUnk", true},
        {dict({{"tokenizer_class", "X"}}), "tokenizerClass", "X"},
        {dict({{"add_bostoken", 1}}), "addBOSToken", 1},
        {dict({{"hub_id", 2}}), "HubID", 2},
        {dict({{"abcvalue", 3}}), "ABCValue", 3},
        {dict({{"layer2_norm", 4}}), "layer2Norm", 4},
        {dict({{"plain", 5}}), "plain", 5},
        {dict({{"\xC3\xBC" "ber_name", 6}}), "\xC3\x9C" "berName", 6},
        // U+0130 lower-cases to two scalars.
        {dict({{"foo_i\xCC\x87", 7}}), "foo\xC4\xB0", 7},
        // An upper-case letter outside the basic plane (no lower-case form).
        {dict({{"a_\xF0\x9D\x90\x80", 8}}), "a\xF0\x9D\x90\x80", 8},
        {dict({}), "anything", Config()},
        {dict({{"other", 1}}), "missing", Config()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.receiver[c.name].value().kind(), c.expected.value().kind()) << c.name;
        EXPECT_EQ(c.receiver[c.name], c.expected) << c.name;
        EXPECT_EQ(c.receiver[BinaryDistinctString(c.name)], c.expected) << c.name;
    }
}

TEST(ConfigLookup, NonDictionariesGiveNullAndTheOptionalFormGivesAbsence) {
    const Config receivers[] = {Config::arrayLiteral({1, 2}), Config("model"), Config(), Config(3)};
    for (const auto& receiver : receivers) {
        EXPECT_EQ(receiver["model"].value().kind(), Config::Data::Kind::null);
        EXPECT_EQ(receiver.member("model"), nullptr);
    }
    const Config dictionary = dict({{"present", 1}});
    ASSERT_NE(dictionary.member("missing"), nullptr);
    EXPECT_EQ(dictionary.member("missing")->value().kind(), Config::Data::Kind::null);
    EXPECT_EQ(dictionary.member("present")->integer(), 1);
}

TEST(ConfigLookup, NestedLookupsChainThroughMissingLevels) {
    const Config root = dict({{"model", dict({{"vocab", dict({{"a", 0}})}})}});
    EXPECT_EQ(root["model"]["vocab"]["a"].integer(), 0);
    EXPECT_EQ(root["decoder"]["type"].string(), std::nullopt);
    ASSERT_NE(root["model"]["vocab"].dictionary(), nullptr);
    EXPECT_EQ(root["model"]["vocab"].dictionary()->size(), 1u);
}

TEST(ConfigReads, BooleanReading) {
    struct Case {
        Config value;
        std::optional<bool> expected;
    };
    const Case cases[] = {
        {"TRUE", true}, {"t", true},       {"1", true},        {"False", false},
        {"F", false},   {"0", false},      {"yes", std::nullopt}, {"", std::nullopt},
        {1, true},      {0, false},        {7, false},         {-1, false},
        {true, true},   {false, false},    {1.0f, std::nullopt},  {Config(), std::nullopt},
        {Config::arrayLiteral({1}), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.boolean(), c.expected) << c.value.description();
}

TEST(ConfigReads, TypedReadsAnswerOnlyForTheirCase) {
    const Config token(Config::Token{7, "a"});
    EXPECT_EQ(Config(3).floating(), 3.0f);
    EXPECT_EQ(Config(3.0f).integer(), std::nullopt);
    EXPECT_EQ(Config(3.5).floating(), 3.5f);
    EXPECT_EQ(token.string(), std::nullopt);
    EXPECT_EQ(Config("x").string(), "x");
    EXPECT_EQ(Config("x").integer(), std::nullopt);
    EXPECT_EQ(Config(true).integer(), std::nullopt);
    EXPECT_EQ(Config(1).string(), std::nullopt);
    EXPECT_EQ(Config().dictionary(), nullptr);
    EXPECT_EQ(Config("x").array(), nullptr);
    EXPECT_EQ(Config::arrayLiteral({}).array()->size(), 0u);
}

TEST(ConfigReads, TokenReading) {
    using Pair = std::pair<uint64_t, std::string>;
    struct Case {
        Config value;
        std::optional<Pair> expected;
    };
    const Case cases[] = {
        {Config::arrayLiteral({"s", 2}), Pair{2, "s"}},
        {Config(Config::Token{7, "a"}), Pair{7, "a"}},
        {Config::arrayLiteral({2, "s"}), std::nullopt},
        {Config::arrayLiteral({"s"}), std::nullopt},
        {Config::arrayLiteral({"s", 2, 3}), std::nullopt},
        {Config::arrayLiteral({"s", -2}), std::nullopt},
        {Config::arrayLiteral({"s", 2.0f}), std::nullopt},
        {Config("s"), std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.token(), c.expected) << c.value.description();
}

TEST(ConfigReads, GetCollectsTheStringsOfAnArray) {
    EXPECT_EQ(Config::arrayLiteral({"a", 1, "b"}).get(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(Config::arrayLiteral({}).get(), std::vector<std::string>{});
    EXPECT_EQ(dict({{"a", "b"}}).get(), std::nullopt);
}

TEST(ConfigLiterals, ADictionaryLiteralKeepsTheLaterValueOfARepeatedKey) {
    const Config config = dict({{"a", 1}, {"b", 2}, {"a", 3}});
    EXPECT_EQ(config.dictionary()->size(), 2u);
    EXPECT_EQ(config["a"].integer(), 3);
}

TEST(ConfigLiterals, CopiesAreIndependentValues) {
    Config original = dict({{"a", Config::arrayLiteral({1})}});
    Config copy = original;
    original = Config("replaced");
    EXPECT_EQ(copy["a"].array()->size(), 1u);
    EXPECT_EQ(original.string(), "replaced");
}

TEST(ConfigEquality, CrossesCasesWhereReadingsAgree) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        Config lhs;
        Config rhs;
        bool equal;
    };
    const Case cases[] = {
        {1, 1.0f, true},
        {1, true, true},
        {7, false, true},
        {7, true, false},
        {true, "T", true},
        {"yes", true, false},
        {"1", 1, false},
        {"a", "a", true},
        {1.0f, true, false},
        {1.5f, 1, false},
        {nan, nan, false},
        {0.0f, -0.0f, true},
        {Config(), Config(), true},
        {Config(), 0, false},
        {Config::arrayLiteral({1, "a"}), Config::arrayLiteral({1.0f, "a"}), true},
        {Config::arrayLiteral({1}), Config::arrayLiteral({1, 2}), false},
        {dict({{"a", 1}, {"b", 2}}), dict({{"b", 2}, {"a", 1}}), true},
        {dict({{"a", 1}}), dict({{"a", 1}, {"b", 2}}), false},
        {dict({{"a", 1}}), dict({{"b", 1}}), false},
        {Config(Config::Token{1, "a"}), Config(Config::Token{1, "a"}), true},
        {Config(Config::Token{1, "a"}), Config(Config::Token{2, "a"}), false},
        {Config(Config::Token{1, "a"}), Config::arrayLiteral({"a", 1}), false},
        {Config(BinaryDistinctString("\xC3\xA9")), Config(BinaryDistinctString("e\xCC\x81")), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.lhs == c.rhs, c.equal) << c.lhs.description() << " vs " << c.rhs.description();
        EXPECT_EQ(c.rhs == c.lhs, c.equal) << c.rhs.description() << " vs " << c.lhs.description();
    }
}

TEST(ConfigHashing, EqualValuesOfOneCaseHashAlike) {
    std::hash<Config> hash;
    EXPECT_EQ(hash(Config(0.0f)), hash(Config(-0.0f)));
    EXPECT_EQ(hash(dict({{"a", 1}, {"b", Config::arrayLiteral({2})}})),
              hash(dict({{"b", Config::arrayLiteral({2})}, {"a", 1}})));
    EXPECT_NE(hash(Config::arrayLiteral({1, 2})), hash(Config::arrayLiteral({2, 1})));
    EXPECT_NE(hash(Config("a")), hash(Config("b")));
    EXPECT_EQ(hash(Config()), hash(Config()));
}

TEST(ConfigDescription, RendersEachCase) {
    struct Case {
        Config value;
        std::string expected;
    };
    const Case cases[] = {
        {"a\"b", "\"a\"b\""},
        {-42, "-42"},
        {true, "true"},
        {1.0f, "1.0"},
        {0.5f, "0.5"},
        {1e-5f, "1e-05"},
        {Config(), "null"},
        {Config(Config::Token{7, "a"}), "(7, a)"},
        {Config::arrayLiteral({1, "x"}), "[[1, \"x\"]]"},
        {Config::arrayLiteral({}), "[[]]"},
        {dict({}), "{[:]}"},
        {dict({{"k", Config::arrayLiteral({Config()})}}), "{[k: [[null]]]}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.value.description(), c.expected);
}

}  // namespace
}  // namespace celvan
