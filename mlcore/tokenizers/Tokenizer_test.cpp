#include "mlcore/tokenizers/Tokenizer.h"

#include "mlcore/tokenizers/AutoTokenizer.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"
#include "platform/text/Utf.h"

#include <gtest/gtest.h>

namespace celvan {
namespace {

using testing::configFromJson;
using Ids = std::vector<int64_t>;
using Tokens = std::vector<std::string>;

std::shared_ptr<const Tokenizer> fixtureTokenizer(const std::string& name) {
    return testing::tokenizerFromFolder(testing::fixtureFolder(name));
}

TEST(PreTrainedTokenizer, GivesTheIdsTheRealFilesWereTrainedWith) {
    struct Case {
        std::string fixture;
        std::string text;
        bool addSpecialTokens;
        Ids expected;
    };
    const std::vector<Case> cases = {
        {"gpt2", "Hello world", true, {15496, 995}},
        {"whisper-en", " Hello world.", true, {50257, 50362, 18435, 995, 13, 50256}},
        {"whisper-en", " Hello world.", false, {18435, 995, 13}},
        {"whisper-en", "<|startoftranscript|><|en|> Hi", false, {50257, 50258, 15902}},
        {"bert", "i like strawberries", true, {101, 1045, 2066, 13137, 20968, 102}},
        {"bert", "I LIKE Strawberries!", true, {101, 1045, 2066, 13137, 20968, 999, 102}},
        {"llama2", "Hello world", true, {1, 22557, 1526}},
        {"llama3", "Hello world", true, {9906, 1917}},
    };
    for (const auto& c : cases) {
        const auto tokenizer = fixtureTokenizer(c.fixture);
        EXPECT_EQ(tokenizer->encode(c.text, c.addSpecialTokens), c.expected) << c.fixture << ": " << c.text;
    }
}

TEST(PreTrainedTokenizer, ByteLevelFilesGiveBackEveryText) {
    const std::vector<std::string> corpus = {
        "Hello world",
        "  leading and trailing spaces  ",
        "Café, naïve résumé — déjà vu",
        "日本語のテキストと中文",
        "emoji 👩‍👩‍👧 and flags 🇺🇦!",
        "line one\nline two\r\n\ttabbed",
        "numbers 1234567 and 3.14159",
        "repaired \xEF\xBF\xBD invalid",
        "broken \xFF\xC3 bytes \xE2\x82",
        "",
    };
    for (const std::string fixture : {"gpt2", "whisper-en", "llama3"}) {
        const auto tokenizer = fixtureTokenizer(fixture);
        for (const auto& text : corpus) {
            EXPECT_EQ(tokenizer->decode(tokenizer->encode(text, false)), platform::text::repairUtf8(text))
                << fixture << ": " << text;
        }
    }
}

TEST(PreTrainedTokenizer, DecodesIdsItDoesNotKnowToNothing) {
    const auto whisper = fixtureTokenizer("whisper-en");
    EXPECT_EQ(whisper->decode({18435, 999999, -4, 995}), " Hello world");
    EXPECT_EQ(whisper->convertIdToToken(999999), std::nullopt);
    EXPECT_EQ(whisper->convertTokenToId("<|nospeech|>"), std::nullopt);
    EXPECT_EQ(whisper->convertTokenToId("<|notimestamps|>"), 50362);
    EXPECT_EQ(whisper->convertTokenToId("<|0.00|>"), 50363);
    EXPECT_EQ(whisper->decode({50257, 18435, 50256}), "<|startoftranscript|> Hello<|endoftext|>");
    EXPECT_EQ(whisper->decode({50257, 18435, 50256}, true), " Hello");
}

// A WordPiece file made for the pipeline's own steps.
Config pipelineData(const std::string& addedTokens) {
    return configFromJson(R"({
        "added_tokens": )" + addedTokens + R"(,
        "normalizer": {"type": "Lowercase"},
        "pre_tokenizer": {"type": "WhitespaceSplit"},
        "decoder": {"type": "WordPiece", "prefix": "##", "cleanup": false},
        "model": {"type": "WordPiece", "vocab": {"[UNK]": 0, "hi": 1, "there": 2, ".": 3, "n't": 4, "do": 5,
                                                 "<sp>": 6, "<plain>": 7, "##!": 8}}})");
}

const Config kWordPieceConfig = configFromJson(R"({"tokenizer_class": "BertTokenizer", "fuse_unk": true})");

TEST(PreTrainedTokenizer, RunsTheStagesInOrder) {
    const PreTrainedTokenizer tokenizer(
        kWordPieceConfig,
        pipelineData(R"([{"id": 6, "content": "<sp>", "special": true, "lstrip": true},
                         {"id": 7, "content": "<plain>"}, {"content": "<noid>"}, {"id": 9}])"),
        true);
    EXPECT_EQ(tokenizer.tokenize("Hi <sp>there"), (Tokens{"hi", "<sp>", "there"}))
        << "the space before an lstrip token goes, added tokens are not lower-cased";
    EXPECT_EQ(tokenizer.tokenize("HI zz qq"), (Tokens{"hi", "[UNK]"})) << "a run of unknown tokens keeps its first";
    EXPECT_EQ(tokenizer.tokenize("zz<plain>qq"), (Tokens{"[UNK]", "<plain>", "[UNK]"}))
        << "fusing stops at an added token";
    EXPECT_EQ(tokenizer.encode("hi <noid>"), (Ids{1, 0})) << "a token without id is ordinary text";
    EXPECT_EQ(tokenizer.decode({1, 6, 7, 2}, true), "hi <plain> there") << "only special ids are skipped";
    EXPECT_EQ(tokenizer.decode({5, 4, 3}), "don't.");
    EXPECT_EQ(tokenizer.cleanUp("a ' b , c ! d ? e 're f 've g 'm h 's"), "a'b, c! d? e're f've g'm h's");
    EXPECT_EQ(tokenizer.specialTokens().size(), 1u);
}

TEST(PreTrainedTokenizer, KeepsTheJoinedTextWithoutCleanUp) {
    const PreTrainedTokenizer tokenizer(
        configFromJson(R"({"tokenizer_class": "BertTokenizer", "clean_up_tokenization_spaces": false})"),
        pipelineData("[]"), true);
    EXPECT_EQ(tokenizer.decode({5, 4, 3}), "do n't .");
    EXPECT_EQ(tokenizer.tokenize(""), Tokens{});
}

TEST(LlamaPreTrainedTokenizer, RewritesItsFileUnlessLegacy) {
    const Config data = testing::fixtureConfig("llama2", "tokenizer.json");
    const LlamaPreTrainedTokenizer modern(
        configFromJson(R"({"tokenizer_class": "LlamaTokenizer", "legacy": false, "add_bos_token": true,
                           "bos_token": "<s>"})"),
        data, true);
    EXPECT_FALSE(modern.isLegacy());
    EXPECT_EQ(modern.encode("Hello world"), (Ids{1, 22557, 1526}));
    EXPECT_EQ(modern.tokenize("<s>Hi"), (Tokens{"<s>", "Hi"})) << "no lone \u2581 before a special token";
    EXPECT_EQ(modern.tokenize("Hi"), Tokens{"\u2581Hi"});

    const LlamaPreTrainedTokenizer legacy(testing::fixtureConfig("llama2", "tokenizer_config.json"), data, true);
    EXPECT_TRUE(legacy.isLegacy());
    EXPECT_EQ(legacy.encode("Hello world"), (Ids{1, 22557, 1526}));
}

TEST(LlamaPreTrainedTokenizer, BuildsATemplateFromTheConfiguration) {
    const Config tokenizerConfig = configFromJson(R"({"add_bos_token": true, "bos_token": {"content": "<s>"},
                                                      "add_eos_token": true, "eos_token": "</s>"})");
    const auto processor = maybeUpdatePostProcessor(tokenizerConfig, configFromJson(R"({"type": "ByteLevel"})"));
    ASSERT_TRUE(processor);
    EXPECT_EQ(*processor, configFromJson(R"({"type": "TemplateProcessing",
        "single": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                   {"SpecialToken": {"id": "</s>", "type_id": 0}}],
        "pair": [{"SpecialToken": {"id": "<s>", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
                 {"SpecialToken": {"id": "</s>", "type_id": 0}}, {"SpecialToken": {"id": "<s>", "type_id": 1}},
                 {"Sequence": {"id": "B", "type_id": 1}}, {"SpecialToken": {"id": "</s>", "type_id": 1}}]})"));
    EXPECT_FALSE(maybeUpdatePostProcessor(
        tokenizerConfig, configFromJson(R"({"type": "TemplateProcessing", "single": [], "pair": []})")));

    for (const auto& [json, message] :
         {std::pair{R"({"add_bos_token": true})", "add_bos_token is True but bos_token is nil"},
          std::pair{R"({"add_eos_token": "true", "eos_token": 7})", "add_eos_token is True but eos_token is nil"}}) {
        try {
            maybeUpdatePostProcessor(configFromJson(json), Config());
            ADD_FAILURE() << json;
        } catch (const TokenizerError& error) {
            EXPECT_EQ(error.kind(), TokenizerError::Kind::mismatchedConfig);
            EXPECT_EQ(std::string(error.what()), std::string("Tokenizer configuration mismatch: ") + message);
        }
    }
}

} // namespace
} // namespace celvan
