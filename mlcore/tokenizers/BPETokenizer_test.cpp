#include "mlcore/tokenizers/BPETokenizer.h"

#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"
#include "mlcore/tokenizers/UnsupportedConfigurationError.h"

#include <gtest/gtest.h>

#include <thread>

namespace celvan {
namespace {

using testing::configFromJson;
using Tokens = std::vector<std::string>;

const Config kNoConfig = configFromJson("{}");

Config bpeData(const std::string& model) { return configFromJson(R"({"model": {"type": "BPE", )" + model + "}}"); }

// a b c ab abc, with merges a+b then ab+c, and byte tokens for "é".
const std::string kSmallModel = R"(
    "vocab": {"a": 0, "b": 1, "c": 2, "ab": 3, "abc": 4, " ": 5, "<0xC3>": 6, "<0xA9>": 7, "<unk>": 8, "bc": 9},
    "merges": ["a b", ["ab", "c"], "b c"])";

TEST(BPETokenizer, MergesByRankAndFallsBackAsTheFileSays) {
    struct Case {
        std::string name;
        std::string extraModel;
        std::string text;
        Tokens expected;
    };
    const std::vector<Case> cases = {
        {"one character stays whole", "", "a", {"a"}},
        {"lowest rank merges first", "", "abc", {"abc"}},
        {"later rank only where the earlier cannot apply", "", "bc", {"bc"}},
        {"ab before bc although bc is also listed", "", "abcbc", {"abc", "bc"}},
        {"a space inside a pre-token is kept", "", "ab c", {"ab", " ", "c"}},
        {"no byte fallback and no unknown token drops the character", "", "aéc", {"a", "c"}},
        {"byte fallback gives one token per byte", R"(, "byte_fallback": true)", "aé", {"a", "<0xC3>", "<0xA9>"}},
        {"unknown token where bytes are missing", R"(, "byte_fallback": true, "unk_token": "<unk>")", "aü",
         {"a", "<unk>"}},
        {"unknown token without byte fallback", R"(, "unk_token": "<unk>")", "é", {"<unk>"}},
        {"ignore_merges keeps a whole vocabulary word", R"(, "ignore_merges": true)", "bc", {"bc"}},
        {"empty text", "", "", {}},
    };
    for (const auto& c : cases) {
        const BPETokenizer model(kNoConfig, bpeData(kSmallModel + c.extraModel), {});
        EXPECT_EQ(model.tokenize(c.text), c.expected) << c.name;
    }
}

TEST(BPETokenizer, IgnoringMergesMatters) {
    // "ca" is in the vocabulary but no merge builds it.
    const std::string model = R"("vocab": {"c": 0, "a": 1, "ca": 2}, "merges": [])";
    EXPECT_EQ(BPETokenizer(kNoConfig, bpeData(model), {}).tokenize("ca"), (Tokens{"c", "a"}));
    EXPECT_EQ(BPETokenizer(kNoConfig, bpeData(model + R"(, "ignore_merges": true)"), {}).tokenize("ca"), Tokens{"ca"});
}

TEST(BPETokenizer, ReadsIdsAndSpecialTokens) {
    const Config config = configFromJson(R"({"unk_token": {"content": "<unk>"}, "eos_token": "c",
                                             "bos_token": {"content": "a"}, "fuse_unk": true})");
    const BPETokenizer model(config, bpeData(kSmallModel), {{"abc", 42}});
    EXPECT_EQ(model.convertTokenToId("abc"), 42) << "an added token takes over the vocabulary's text";
    EXPECT_EQ(model.convertIdToToken(42), "abc");
    EXPECT_EQ(model.convertIdToToken(4), std::nullopt);
    EXPECT_EQ(model.convertIdToToken(-1), std::nullopt);
    EXPECT_EQ(model.unknownToken(), "<unk>");
    EXPECT_EQ(model.unknownTokenId(), 8);
    EXPECT_EQ(model.convertTokenToId("zzz"), 8);
    EXPECT_EQ(model.eosToken(), "c");
    EXPECT_EQ(model.eosTokenId(), 2);
    EXPECT_EQ(model.bosTokenId(), 0);
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_EQ(model.tokenize("abc"), Tokens{"abc"}) << "merges still reach the re-numbered token";

    // A model section that says it has no unknown token wins over the
    // configuration, so texts outside the vocabulary have no id.
    const BPETokenizer silent(config, bpeData(kSmallModel + R"(, "unk_token": null, "fuse_unk": false)"), {});
    EXPECT_EQ(silent.unknownToken(), std::nullopt);
    EXPECT_EQ(silent.convertTokenToId("zzz"), std::nullopt);
    EXPECT_FALSE(silent.fuseUnknownTokens());
}

TEST(BPETokenizer, MergeFormsGiveTheSameRanks) {
    const auto strings = BPETokenizer::mergesFromConfig(&configFromJson(R"({"m": ["a b", "ab c", "x  y"]})")["m"]);
    const auto arrays = BPETokenizer::mergesFromConfig(&configFromJson(R"({"m": [["a", "b"], ["ab", 3, "c"], 7]})")["m"]);
    ASSERT_TRUE(strings && arrays);
    EXPECT_EQ((*strings)[0], (*arrays)[0]);
    EXPECT_EQ((*strings)[1], (*arrays)[1]);
    EXPECT_EQ((*strings)[2], (Tokens{"x", "", "y"})) << "empty parts are kept";
    EXPECT_EQ(arrays->size(), 2u) << "elements of other kinds are skipped";
    EXPECT_FALSE(BPETokenizer::mergesFromConfig(&configFromJson(R"({"m": "a b"})")["m"]));
}

TEST(BPETokenizer, RejectsFilesThatCannotMakeAModel) {
    struct Case {
        std::string name;
        std::string model;
        std::optional<TokenizerError::Kind> kind;
    };
    const std::vector<Case> cases = {
        {"no merges", R"("vocab": {"a": 0})", std::nullopt},
        {"merges not an array", R"("vocab": {"a": 0}, "merges": {"a": "b"})", std::nullopt},
        {"no vocabulary", R"("merges": [])", TokenizerError::Kind::missingVocab},
        {"vocabulary not an object", R"("vocab": [["a", 0]], "merges": [])", TokenizerError::Kind::missingVocab},
        {"merge part outside the vocabulary", R"("vocab": {"a": 0, "ab": 1}, "merges": ["a b"])",
         TokenizerError::Kind::malformedVocab},
        {"merge result outside the vocabulary", R"("vocab": {"a": 0, "b": 1}, "merges": ["a b"])",
         TokenizerError::Kind::malformedVocab},
        {"merge without a space", R"("vocab": {"ab": 0}, "merges": ["ab"])", TokenizerError::Kind::malformedVocab},
        {"merge of three parts", R"("vocab": {"a": 0}, "merges": ["a a a"])", TokenizerError::Kind::malformedVocab},
        {"negative id", R"("vocab": {"a": -1}, "merges": [])", TokenizerError::Kind::malformedVocab},
        {"id past 32 bits", R"("vocab": {"a": 99999999999}, "merges": [])", TokenizerError::Kind::malformedVocab},
    };
    for (const auto& c : cases) {
        try {
            BPETokenizer model(kNoConfig, bpeData(c.model), {});
            ADD_FAILURE() << c.name << ": built a model";
        } catch (const TokenizerError& error) {
            EXPECT_EQ(std::optional(error.kind()), c.kind) << c.name;
        } catch (const UnsupportedConfigurationError& error) {
            EXPECT_EQ(c.kind, std::nullopt) << c.name;
            EXPECT_STREQ(error.what(), "BPETokenizer requires merges");
        }
    }
    EXPECT_THROW(BPETokenizer(kNoConfig, bpeData(R"("vocab": {}, "merges": [])"), {{"x", -5}}), TokenizerError);
}

TEST(BPETokenizer, LongWordsMergeInBoundedTime) {
    // Merges that double a run of "a" again and again: a quadratic merge loop
    // would take minutes over this word.
    std::string vocab = R"("a": 0)";
    std::string merges;
    std::string piece = "a";
    for (int level = 1; level <= 16; ++level) {
        vocab += ", \"" + piece + piece + "\": " + std::to_string(level);
        merges += std::string(level > 1 ? ", " : "") + "\"" + piece + " " + piece + "\"";
        piece += piece;
    }
    const BPETokenizer model(kNoConfig, bpeData("\"vocab\": {" + vocab + "}, \"merges\": [" + merges + "]"), {});
    const auto tokens = model.tokenize(std::string(65536 + 3, 'a'));
    ASSERT_EQ(tokens.size(), 3u);
    EXPECT_EQ(tokens[0].size(), 65536u);
    EXPECT_EQ(tokens[1], "aa");
    EXPECT_EQ(tokens[2], "a");
}

TEST(BPETokenizer, GivesGpt2sOwnTokens) {
    const BPETokenizer model(testing::fixtureConfig("gpt2", "tokenizer_config.json"),
                             testing::fixtureConfig("gpt2", "tokenizer.json"), {{"<|endoftext|>", 50256}});
    EXPECT_EQ(model.tokenize("Hello"), Tokens{"Hello"});
    EXPECT_EQ(model.tokenize("\u0120world"), Tokens{"\u0120world"});
    EXPECT_EQ(model.tokenize("tokenization"), (Tokens{"token", "ization"}));
    EXPECT_EQ(model.convertTokenToId("Hello"), 15496);
    EXPECT_EQ(model.convertTokenToId("\u0120world"), 995);
    EXPECT_EQ(model.convertTokenToId("<|nospeech|>"), std::nullopt) << "GPT-2's model has no unknown token";
    EXPECT_EQ(model.convertIdToToken(50256), "<|endoftext|>");
    EXPECT_EQ(model.vocabCount(), 50257u);
}

TEST(BPETokenizer, ServesManyThreadsAtOnce) {
    const BPETokenizer model(kNoConfig, bpeData(kSmallModel), {});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&model, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string word = std::string(1 + (i + t) % 7, 'a') + "bc";
                EXPECT_EQ(model.tokenize(word).back(), "abc");
            }
        });
    }
    for (auto& thread : threads) thread.join();
}

} // namespace
} // namespace celvan
