#include "mlcore/tokenizers/BertTokenizer.h"

#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

using testing::configFromJson;
using Tokens = std::vector<std::string>;

Config wordPieceData(const std::string& vocab, const std::string& extra = "") {
    return configFromJson(R"({"model": {"type": "WordPiece", "vocab": {)" + vocab + "}}" + extra + "}");
}

const std::string kVocab = R"("[UNK]": 0, "[CLS]": 1, "un": 2, "##aff": 3, "##able": 4, "hello": 5, "[": 6, "]": 7,
    "cls": 8, "a": 9, "b": 10, "中": 11, "x": 12, "!": 13, "$": 14, "ab": 15, "aa": 16, "##a": 17, "ø": 18,
    "a\nb": 19, "e": 20, "##\u0301": 21)";

TEST(BertTokenizer, SplitsWordsIntoPieces) {
    struct Case {
        std::string name;
        std::string config;
        std::string text;
        Tokens expected;
    };
    const std::string longWord(100, 'a');
    // The longest piece at the start, then one continuation after another.
    Tokens longWordPieces(99, "##a");
    longWordPieces.front() = "aa";
    const std::vector<Case> cases = {
        {"longest pieces first", "{}", "unaffable", {"un", "##aff", "##able"}},
        {"a word with an uncovered end is one unknown", "{}", "unaffablez", {"[UNK]"}},
        {"special tokens stay whole and unlowered", "{}", "[CLS] hello", {"[CLS]", "hello"}},
        {"lower-case special tokens are split", "{}", "[cls]", {"[", "cls", "]"}},
        {"diacritics go before the split, case in it", "{}", "Héllo", {"hello"}},
        {"marks other than diacritics are not folded", "{}", "ø", {"ø"}},
        {"line breaks do not separate", "{}", "a\nb", {"a\nb"}},
        {"spaces and tabs separate", "{}", "a b\ta", {"a", "b", "a"}},
        {"ideographs become words of their own", "{}", "a中b", {"a", "中", "b"}},
        {"ideographs stay put when asked", R"({"handle_chinese_chars": false})", "a中b", {"[UNK]"}},
        {"ASCII symbols split like punctuation", "{}", "x!$x", {"x", "!", "$", "x"}},
        {"no lower-casing, no accent folding", R"({"do_lower_case": false})", "Hello e\u0301",
         {"[UNK]", "e", "##\u0301"}},
        {"a hundred characters are split", "{}", longWord, longWordPieces},
        {"a hundred and one are unknown", "{}", longWord + "a", {"[UNK]"}},
        {"empty text", "{}", "", {}},
    };
    for (const auto& c : cases) {
        const BertTokenizer model(configFromJson(c.config), wordPieceData(kVocab), {});
        EXPECT_EQ(model.tokenize(c.text), c.expected) << c.name;
    }
}

TEST(BertTokenizer, ReadsItsSettings) {
    const Config config = configFromJson(R"({"eos_token": "b", "bos_token": {"content": "a"}, "fuse_unk": true})");
    const BertTokenizer model(config,
                              wordPieceData(kVocab, R"(, "added_tokens": [{"id": 40, "content": "a"}, {"id": "7"}, 3])"),
                              {{"b", 41}});
    EXPECT_EQ(model.convertTokenToId("a"), 40) << "added tokens of the file replace vocabulary ids";
    EXPECT_EQ(model.convertTokenToId("b"), 41) << "added tokens of the pipeline win last";
    EXPECT_EQ(model.eosTokenId(), 41);
    EXPECT_EQ(model.bosToken(), std::nullopt) << "only plain strings name the token";
    EXPECT_TRUE(model.fuseUnknownTokens());
    EXPECT_EQ(model.unknownToken(), "[UNK]");
    EXPECT_EQ(model.unknownTokenId(), 0);
    EXPECT_EQ(model.convertTokenToId("nothing"), 0);
    EXPECT_EQ(model.convertIdToToken(2), "un");
    EXPECT_EQ(model.convertIdToToken(999), std::nullopt);

    const BertTokenizer noUnknown(configFromJson("{}"), wordPieceData(R"("a": 0)"), {});
    EXPECT_EQ(noUnknown.unknownTokenId(), std::nullopt);
    EXPECT_EQ(noUnknown.convertTokenToId("b"), std::nullopt);

    const BertTokenizer ownMarks(
        configFromJson("{}"),
        configFromJson(R"({"model": {"vocab": {"<unk>": 0, "un": 1, "@@aff": 2}, "unk_token": "<unk>",
                                     "continuing_subword_prefix": "@@", "max_input_chars_per_word": 4}})"),
        {});
    EXPECT_EQ(ownMarks.tokenize("unaff"), Tokens{"<unk>"}) << "longer than the file's limit";
    EXPECT_EQ(ownMarks.tokenize("unaf"), Tokens{"<unk>"});
    EXPECT_EQ(ownMarks.unknownTokenId(), 0);
}

TEST(BertTokenizer, RejectsAMissingVocabulary) {
    for (const auto* data : {R"({"model": {}})", R"({"model": {"vocab": ["a"]}})", "{}"}) {
        try {
            BertTokenizer model(configFromJson("{}"), configFromJson(data), {});
            ADD_FAILURE() << data;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), TokenizerError::Kind::missingVocab) << data;
        }
    }
}

TEST(BertTokenizer, GivesBertsOwnPieces) {
    const BertTokenizer model(testing::fixtureConfig("bert", "tokenizer_config.json"),
                              testing::fixtureConfig("bert", "tokenizer.json"), {});
    EXPECT_EQ(model.tokenize("strawberries"), (Tokens{"straw", "##berries"}));
    EXPECT_EQ(model.convertTokenToId("straw"), 13137);
    EXPECT_EQ(model.convertTokenToId("##berries"), 20968);
    EXPECT_EQ(model.convertTokenToId("[CLS]"), 101);
}

} // namespace
} // namespace celvan
