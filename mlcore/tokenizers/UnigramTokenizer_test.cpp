#include "mlcore/tokenizers/UnigramTokenizer.h"

#include "mlcore/tokenizers/TokenLattice.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"
#include "mlcore/tokenizers/Trie.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

using testing::configFromJson;
using Tokens = std::vector<std::string>;

Config unigramData(const std::string& vocab, const std::string& unkId = "0") {
    return configFromJson(R"({"model": {"type": "Unigram", "unk_id": )" + unkId + R"(, "vocab": [)" + vocab + "]}}");
}

const std::string kVocab = R"(["<unk>", 0], ["a", -1], ["b", -2], ["ab", -2.5], ["c", -3], ["abc", -7],
    [" ", -1], ["é", -1], ["</s>", -1])";

TEST(UnigramTokenizer, FindsTheBestScoringCover) {
    const UnigramTokenizer model(configFromJson(R"({"eos_token": "</s>"})"), unigramData(kVocab), {});
    struct Case {
        std::string text;
        Tokens expected;
    };
    const std::vector<Case> cases = {
        {"ab", {"ab"}},               // -2.5 beats -1 + -2
        {"abc", {"ab", "c"}},         // -5.5 beats -7 and -6
        {"a b", {"a", " ", "b"}},
        {"", {}},
        {"axb", {"a", "x", "b"}},     // the uncovered character is itself
        {"é", {"é"}},                 // one precomposed scalar, a piece
        {"e\u0301", {"e", "\u0301"}}, // decomposed: two characters no piece covers
    };
    for (const auto& c : cases) EXPECT_EQ(model.tokenize(c.text), c.expected) << c.text;

    EXPECT_EQ(model.convertTokenToId("x"), 0);
    EXPECT_EQ(model.convertTokenToId("ab"), 3);
    EXPECT_EQ(model.convertIdToToken(3), "ab");
    EXPECT_EQ(model.convertIdToToken(9), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(model.bosToken(), " ");
    EXPECT_EQ(model.bosTokenId(), 6);
    EXPECT_EQ(model.eosTokenId(), 8);
    EXPECT_EQ(model.unknownToken(), "<unk>");
    EXPECT_TRUE(model.fuseUnknownTokens());
}

TEST(UnigramTokenizer, ScoresTheFallbackBelowEveryPiece) {
    std::string vocab = R"(["<unk>", -1.0])";
    for (int k = 2; k <= 20; ++k) vocab += ", [\"p" + std::to_string(k) + "\", -" + std::to_string(k) + "]";
    const UnigramTokenizer model(configFromJson("{}"), unigramData(vocab), {});
    EXPECT_FLOAT_EQ(model.minScore(), -20.0f);
    EXPECT_FLOAT_EQ(model.unknownTokenScore(), -30.0f);

    const UnigramTokenizer high(configFromJson("{}"), unigramData(R"(["<unk>", 1500])"), {});
    EXPECT_FLOAT_EQ(high.minScore(), 999.0f) << "integer scores are read, and the floor starts at 999";
    EXPECT_EQ(high.bosTokenId(), std::nullopt);
}

TEST(UnigramTokenizer, TiesGoToTheEarlierInsertedNode) {
    // "ab" as one piece and "a" + "b" both score -2: the longer last piece,
    // which starts earlier and is inserted first, wins.
    const UnigramTokenizer model(configFromJson("{}"), unigramData(R"(["<unk>", 0], ["a", -1], ["b", -1], ["ab", -2])"),
                                 {});
    EXPECT_EQ(model.tokenize("ab"), Tokens{"ab"});
}

TEST(UnigramTokenizer, KeepsTheBestPathOnLongTexts) {
    // Two single pieces beat the pair by a hair that the sum of a long path,
    // kept in single precision, would no longer see.
    const UnigramTokenizer model(configFromJson("{}"),
                                 unigramData(R"(["<unk>", 0], ["a", -1], ["aa", -2.0000002])"), {});
    for (std::size_t length : {2u, 64u, 1000u}) {
        EXPECT_EQ(model.tokenize(std::string(length, 'a')), Tokens(length, "a")) << length;
    }
}

TEST(UnigramTokenizer, RejectsMalformedVocabularies) {
    struct Case {
        std::string name;
        std::string data;
        TokenizerError::Kind kind;
    };
    using K = TokenizerError::Kind;
    const std::vector<Case> cases = {
        {"no vocabulary", R"({"model": {"unk_id": 0}})", K::missingVocab},
        {"vocabulary as an object", R"({"model": {"unk_id": 0, "vocab": {"a": 1}}})", K::missingVocab},
        {"piece without score", R"({"model": {"unk_id": 0, "vocab": [["a"]]}})", K::malformedVocab},
        {"number as piece", R"({"model": {"unk_id": 0, "vocab": [[1, 2.0]]}})", K::malformedVocab},
        {"empty entry", R"({"model": {"unk_id": 0, "vocab": [[]]}})", K::malformedVocab},
        {"string score", R"({"model": {"unk_id": 0, "vocab": [["a", "1"]]}})", K::malformedVocab},
        {"no unknown id", R"({"model": {"vocab": [["a", 1]]}})", K::malformedVocab},
        {"unknown id as text", R"({"model": {"unk_id": "0", "vocab": [["a", 1]]}})", K::malformedVocab},
        {"unknown id past the end", R"({"model": {"unk_id": 1, "vocab": [["a", 1]]}})", K::malformedVocab},
        {"negative unknown id", R"({"model": {"unk_id": -1, "vocab": [["a", 1]]}})", K::malformedVocab},
    };
    for (const auto& c : cases) {
        try {
            UnigramTokenizer model(configFromJson("{}"), configFromJson(c.data), {});
            ADD_FAILURE() << c.name;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), c.kind) << c.name;
        }
    }
}

TEST(Trie, FindsEveryPieceThatStartsTheText) {
    Trie trie;
    trie.insert(U"a", 1);
    trie.insert(U"abc", 3);
    trie.insert(U"abd", 4);
    trie.insert(U"a", 7);
    const auto prefixes = trie.commonPrefixes(U"abcde");
    ASSERT_EQ(prefixes.size(), 2u);
    EXPECT_EQ(prefixes[0].length, 1u);
    EXPECT_EQ(prefixes[0].value, 7) << "a sequence inserted twice keeps its later value";
    EXPECT_EQ(prefixes[1].length, 3u);
    EXPECT_TRUE(trie.commonPrefixes(U"b").empty());
    EXPECT_TRUE(trie.commonPrefixes(U"").empty());
    EXPECT_EQ(trie.commonPrefixes(U"ab").size(), 1u) << "an inner node is no piece";
}

TEST(TokenLattice, EndsWithoutAPathWhenAGapIsLeft) {
    TokenLattice gap(3, 0, 0);
    gap.insert(0, 1, -1.0f, 5);
    gap.insert(2, 1, -1.0f, 6);
    EXPECT_TRUE(gap.viterbi().empty());

    TokenLattice empty(0, 0, 0);
    EXPECT_TRUE(empty.viterbi().empty());

    TokenLattice cover(2, 0, 0);
    cover.insert(0, 2, -3.0f, 7);
    cover.insert(0, 1, -1.0f, 5);
    cover.insert(1, 1, -1.0f, 6);
    const auto path = cover.viterbi();
    ASSERT_EQ(path.size(), 2u);
    EXPECT_EQ(path[0].tokenId, 5);
    EXPECT_EQ(path[1].tokenId, 6);
    EXPECT_FLOAT_EQ(path[1].backtraceScore, -2.0f);
}

} // namespace
} // namespace celvan
