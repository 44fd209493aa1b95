#include "mlcore/tokenizers/AutoTokenizer.h"

#include "mlcore/hub/Hub.h"
#include "mlcore/tokenizers/AutoTokenizerWrapper.h"
#include "mlcore/tokenizers/BPETokenizer.h"
#include "mlcore/tokenizers/BertTokenizer.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "mlcore/tokenizers/TokenizerModel.h"
#include "tests/support/TokenizerTestSupport.h"
#include "mlcore/tokenizers/UnigramTokenizer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include <unistd.h>

namespace celvan {
namespace {

using testing::configFromJson;
using Ids = std::vector<int64_t>;

class TempFolder {
public:
    TempFolder() : path_(std::filesystem::temp_directory_path() / ("tokenizer-" + std::to_string(counter()++))) {
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(path_ / name, std::ios::binary) << content;
    }

private:
    static int& counter() {
        static int next = ::getpid() * 1000;
        return next;
    }
    std::filesystem::path path_;
};

const std::string kWordPieceData = R"({"model": {"type": "WordPiece", "vocab": {"[UNK]": 0, "hi": 1}}})";
const std::string kBpeData = R"({"model": {"type": "BPE", "vocab": {"h": 0, "i": 1, "hi": 2}, "merges": ["h i"]}})";

TEST(AutoTokenizer, LoadsFromAModelFolder) {
    TempFolder folder;
    folder.write("tokenizer.json", kWordPieceData);
    folder.write("tokenizer_config.json", R"({"tokenizer_class": "BertTokenizerFast"})");
    const auto wrapper = AutoTokenizerWrapper::fromModelFolder(
        platform::URL::fileURLWithPath(folder.path().string(), true), testing::folderHubApi(), true);
    EXPECT_EQ(wrapper.encode("hi there"), (Ids{1, 0}));
    EXPECT_EQ(wrapper.convertIdToToken(1), "hi");
    const TokenizerWrapper copy = wrapper;
    EXPECT_EQ(copy.decode({1}), "hi");
}

TEST(AutoTokenizer, TakesAMissingClassFromTheModelType) {
    TempFolder folder;
    folder.write("tokenizer.json", kBpeData);
    folder.write("tokenizer_config.json", R"({"tokenizer_class": null})");
    folder.write("config.json", R"({"model_type": "llama"})");
    EXPECT_EQ(testing::tokenizerFromFolder(folder.path())->encode("hi"), Ids{2});

    // An unregistered class is no obstacle while tokenizer.json says which
    // model it holds; when it does not either, strict loading refuses it.
    folder.write("config.json", R"({"model_type": "gpt_neox"})");
    EXPECT_EQ(testing::tokenizerFromFolder(folder.path())->encode("hi"), Ids{2});
    folder.write("tokenizer.json", R"({"model": {"vocab": {"h": 0, "i": 1, "hi": 2}, "merges": ["h i"]}})");
    try {
        testing::tokenizerFromFolder(folder.path());
        ADD_FAILURE() << "Gpt_neoxTokenizer is no registered class";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(std::string(error.what()), "The tokenizer type 'Gpt_neoxTokenizer' is not supported.");
    }
    folder.write("tokenizer.json", kBpeData);

    folder.write("config.json", R"({"hidden_size": 4})");
    try {
        testing::tokenizerFromFolder(folder.path());
        ADD_FAILURE() << "no class anywhere";
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.kind(), TokenizerError::Kind::missingTokenizerClassInConfig);
    }
}

TEST(AutoTokenizer, ReportsMissingAndBrokenFiles) {
    struct Case {
        std::string name;
        std::function<void(const TempFolder&)> prepare;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no tokenizer.json", [](const TempFolder& f) { f.write("tokenizer_config.json", "{}"); },
         "Required configuration file missing: tokenizer.json"},
        {"no tokenizer configuration", [](const TempFolder& f) { f.write("tokenizer.json", kBpeData); },
         "Tokenizer configuration is missing."},
        {"a broken config.json fails first",
         [](const TempFolder& f) {
             f.write("config.json", "{");
             f.write("tokenizer_config.json", "{}");
         },
         ""},
        {"tokenizer.json that is no object",
         [](const TempFolder& f) {
             f.write("tokenizer.json", "[1, 2]");
             f.write("tokenizer_config.json", "{}");
         },
         ""},
    };
    for (const auto& c : cases) {
        TempFolder folder;
        c.prepare(folder);
        try {
            testing::tokenizerFromFolder(folder.path());
            ADD_FAILURE() << c.name;
        } catch (const std::exception& error) {
            if (!c.message.empty()) EXPECT_EQ(std::string(error.what()), c.message) << c.name;
            else EXPECT_NE(dynamic_cast<const Hub::HubClientError*>(&error), nullptr) << c.name << ": " << error.what();
        }
    }
}

TEST(TokenizerModel, SelectsTheModelByClassName) {
    const Config bert = configFromJson(kWordPieceData);
    const Config bpe = configFromJson(kBpeData);
    const Config unigram = configFromJson(R"({"model": {"unk_id": 0, "vocab": [["<unk>", 0]]}})");
    auto modelFor = [](const std::string& name, const Config& data, bool strict) {
        return TokenizerModel::from(configFromJson(R"({"tokenizer_class": ")" + name + "\"}"), data, {}, strict);
    };
    EXPECT_TRUE(std::dynamic_pointer_cast<const BertTokenizer>(modelFor("DistilbertTokenizer", bert, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const BertTokenizer>(modelFor("DistilBertTokenizerFast", bert, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const UnigramTokenizer>(modelFor("XLMRobertaTokenizerFast", unigram, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const T5Tokenizer>(modelFor("T5Tokenizer", unigram, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const BPETokenizer>(modelFor("WhisperTokenizer", bpe, true)));
    // A class outside the table, or one that fits any model, leaves the
    // choice to the file's model type; the table still rules the names it
    // knows.
    const Config typedUnigram = configFromJson(R"({"model": {"type": "Unigram", "unk_id": 0, "vocab": [["<unk>", 0]]}})");
    EXPECT_TRUE(std::dynamic_pointer_cast<const UnigramTokenizer>(modelFor("AlbertTokenizer", typedUnigram, true)));
    EXPECT_TRUE(
        std::dynamic_pointer_cast<const UnigramTokenizer>(modelFor("PreTrainedTokenizerFast", typedUnigram, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const UnigramTokenizer>(modelFor("TokenizersBackend", typedUnigram, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const BertTokenizer>(modelFor("MyTokenizer", bert, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const BPETokenizer>(modelFor("MyTokenizer", bpe, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const T5Tokenizer>(modelFor("T5Tokenizer", typedUnigram, true)));

    const Config untypedBpe = configFromJson(R"({"model": {"vocab": {"h": 0}, "merges": []}})");
    EXPECT_TRUE(std::dynamic_pointer_cast<const BPETokenizer>(modelFor("PreTrainedTokenizerFast", untypedBpe, true)));
    EXPECT_TRUE(std::dynamic_pointer_cast<const BPETokenizer>(modelFor("MyFastTokenizerFast", untypedBpe, false)))
        << "an unknown class falls back to BPE when not strict";
    try {
        modelFor("MyFastTokenizerFast", untypedBpe, true);
        ADD_FAILURE();
    } catch (const TokenizerError& error) {
        EXPECT_EQ(error.payload(), "MyTokenizer") << "every Fast is removed, also inside the name";
    }
    EXPECT_EQ(removingFast("FastGPT2TokenizerFast"), "GPT2Tokenizer");

    EXPECT_EQ(TokenizerModel::unknownToken(configFromJson(R"({"unk_token": {"content": "<u>"}})")), "<u>");
    EXPECT_EQ(TokenizerModel::unknownToken(configFromJson(R"({"unk_token": 3})")), std::nullopt);
}

TEST(AutoTokenizer, NamesLlamasOwnPipelineClass) {
    const auto llama = AutoTokenizer::tokenizerClass(configFromJson(R"({"tokenizer_class": "LlamaTokenizerFast"})"));
    const Config data = configFromJson(kBpeData);
    const Config config = configFromJson(R"({"tokenizer_class": "LlamaTokenizer", "legacy": false})");
    EXPECT_TRUE(std::dynamic_pointer_cast<const LlamaPreTrainedTokenizer>(llama(config, data, true)));
    const auto plain = AutoTokenizer::tokenizerClass(configFromJson(R"({"tokenizerClass": "BertTokenizer"})"));
    EXPECT_FALSE(std::dynamic_pointer_cast<const LlamaPreTrainedTokenizer>(plain(config, data, true)));
    EXPECT_FALSE(std::dynamic_pointer_cast<const LlamaPreTrainedTokenizer>(
        AutoTokenizer::tokenizerClass(configFromJson("[1]"))(config, data, true)));
}

// Files that must end in an error, or in a bounded run, and never bring the
// program down.
TEST(AutoTokenizer, SurvivesHostileFiles) {
    const std::string gpt2 = testing::readFile(testing::fixtureFolder("gpt2") / "tokenizer.json");
    const std::string bpeConfig = R"({"tokenizer_class": "GPT2Tokenizer"})";
    struct Case {
        std::string name;
        std::string data;
    };
    const std::vector<Case> errors = {
        {"truncated", gpt2.substr(0, gpt2.size() / 2)},
        {"model of the wrong type", R"({"model": 5})"},
        {"vocabulary of the wrong type", R"({"model": {"vocab": "abc", "merges": []}})"},
        {"merges of the wrong type", R"({"model": {"vocab": {}, "merges": 1}})"},
        {"unknown normalizer", R"({"normalizer": {"type": "Magic"}, )" + kBpeData.substr(1)},
        {"empty pre-tokenizer type", R"({"pre_tokenizer": {"type": ""}, )" + kBpeData.substr(1)},
        {"regex that does not compile",
         R"({"pre_tokenizer": {"type": "Split", "pattern": {"Regex": "(unclosed"}}, )" + kBpeData.substr(1)},
        {"template without items", R"({"post_processor": {"type": "TemplateProcessing"}, )" + kBpeData.substr(1)},
        {"added token id out of range", R"({"added_tokens": [{"id": -3, "content": "x"}], )" + kBpeData.substr(1)},
        {"merge outside the vocabulary", R"({"model": {"vocab": {"a": 0}, "merges": ["a q"]}})"},
        {"nesting too deep", std::string(100000, '[') + std::string(100000, ']')},
    };
    for (const auto& c : errors) {
        TempFolder folder;
        folder.write("tokenizer_config.json", bpeConfig);
        folder.write("tokenizer.json", c.data);
        EXPECT_ANY_THROW(testing::tokenizerFromFolder(folder.path())) << c.name;
    }

    // A pattern that backtracks without end on a long run, and a cyclic set
    // of merges: both either tokenize in bounded time or refuse.
    const std::vector<Case> bounded = {
        {"regex bomb", R"({"pre_tokenizer": {"type": "Split", "pattern": {"Regex": "(a+)+$"}, "behavior": "Isolated"},
                         "model": {"vocab": {"a": 0, "b": 1}, "merges": []}})"},
        {"empty-matching pattern", R"({"pre_tokenizer": {"type": "Split", "pattern": {"Regex": "x*"}},
                         "model": {"vocab": {"a": 0, "b": 1}, "merges": []}})"},
        {"cyclic merges", R"({"model": {"vocab": {"a": 0, "b": 1, "ab": 2, "ba": 3, "aba": 4},
                         "merges": ["a b", "b a", "ab a", "a ba", "a b"]}})"},
    };
    for (const auto& c : bounded) {
        TempFolder folder;
        folder.write("tokenizer_config.json", bpeConfig);
        folder.write("tokenizer.json", c.data);
        const auto tokenizer = testing::tokenizerFromFolder(folder.path());
        try {
            const auto ids = tokenizer->encode(std::string(40000, 'a') + "b");
            EXPECT_FALSE(ids.empty()) << c.name;
        } catch (const std::exception& error) {
            SUCCEED() << c.name << " refused: " << error.what();
        }
    }
}

// A Unigram tokenizer as ALBERT's conversion writes it: the normalizer
// strips the right end and folds runs of spaces, Metaspace marks word starts,
// and [MASK] takes the space before it.
const std::string kAlbertStyleData = R"({
  "added_tokens": [
    {"id": 0, "content": "<pad>", "lstrip": false, "rstrip": false, "normalized": false, "special": true},
    {"id": 1, "content": "<unk>", "lstrip": false, "rstrip": false, "normalized": false, "special": true},
    {"id": 2, "content": "[CLS]", "lstrip": false, "rstrip": false, "normalized": false, "special": true},
    {"id": 3, "content": "[SEP]", "lstrip": false, "rstrip": false, "normalized": false, "special": true},
    {"id": 4, "content": "[MASK]", "lstrip": true, "rstrip": false, "normalized": false, "special": true}
  ],
  "normalizer": {"type": "Sequence", "normalizers": [
    {"type": "Replace", "pattern": {"String": "``"}, "content": "\""},
    {"type": "NFKD"}, {"type": "StripAccents"}, {"type": "Lowercase"},
    {"type": "Strip", "strip_left": false, "strip_right": true},
    {"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": "▁"}
  ]},
  "pre_tokenizer": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": true},
  "post_processor": {"type": "TemplateProcessing",
    "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
               {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
    "pair": [{"Sequence": {"id": "A", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}}],
    "special_tokens": {"[CLS]": {"id": "[CLS]", "ids": [2], "tokens": ["[CLS]"]},
                       "[SEP]": {"id": "[SEP]", "ids": [3], "tokens": ["[SEP]"]}}},
  "decoder": {"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always", "split": true},
  "model": {"type": "Unigram", "unk_id": 1, "byte_fallback": false, "vocab": [
    ["<pad>", 0.0], ["<unk>", 0.0], ["[CLS]", 0.0], ["[SEP]", 0.0], ["[MASK]", 0.0],
    ["▁", -2.5], ["▁the", -3.0], ["▁cat", -5.0], ["s", -4.0], ["▁cafe", -6.0], ["c", -7.0], ["a", -7.0],
    ["t", -7.0], ["e", -7.0], ["f", -7.0], ["h", -7.0]
  ]}
})";

TEST(AutoTokenizer, LoadsUnigramFilesWhateverClassTheyName) {
    using Tokens = std::vector<std::string>;
    struct Case {
        std::string text;
        Tokens tokens;
        Ids ids;
    };
    const std::vector<Case> cases = {
        {"The cats", {"▁the", "▁cat", "s"}, {2, 6, 7, 8, 3}},
        {"Café  cat ", {"▁cafe", "▁cat"}, {2, 9, 7, 3}},
        {"   ", {}, {2, 3}},
        {" \t\n", {}, {2, 3}},
        {"[CLS] [SEP]", {"[CLS]", "[SEP]"}, {2, 2, 3, 3}},
        {"[SEP]  [CLS]", {"[SEP]", "[CLS]"}, {2, 3, 2, 3}},
        {"the [MASK] [MASK]", {"▁the", "[MASK]", "[MASK]"}, {2, 6, 4, 4, 3}},
    };
    for (const std::string className : {"AlbertTokenizer", "PreTrainedTokenizerFast", "AlbertTokenizerFast"}) {
        TempFolder folder;
        folder.write("tokenizer.json", kAlbertStyleData);
        folder.write("tokenizer_config.json", R"({"tokenizer_class": ")" + className +
                                                  R"(", "do_lower_case": true, "unk_token": "<unk>"})");
        const auto tokenizer = testing::tokenizerFromFolder(folder.path());
        for (const auto& c : cases) {
            EXPECT_EQ(tokenizer->tokenize(c.text), c.tokens) << className << ": " << c.text;
            EXPECT_EQ(tokenizer->encode(c.text), c.ids) << className << ": " << c.text;
        }
        EXPECT_EQ(tokenizer->decode({2, 6, 7, 8, 3}, true), "the cats") << className;
    }
}

TEST(AutoTokenizer, CopesWithAQuarterMillionAddedTokens) {
    std::string data = R"({"model": {"type": "BPE", "vocab": {"a": 0}, "merges": []}, "added_tokens": [)";
    for (int id = 1; id <= 250000; ++id) {
        data += (id > 1 ? ",{\"id\":" : "{\"id\":") + std::to_string(id) + ",\"content\":\"<" + std::to_string(id) +
                ">\"}";
    }
    data += "]}";
    TempFolder folder;
    folder.write("tokenizer_config.json", R"({"tokenizer_class": "GPT2Tokenizer"})");
    folder.write("tokenizer.json", data);
    const auto tokenizer = testing::tokenizerFromFolder(folder.path());
    EXPECT_EQ(tokenizer->encode("a<249999>a<12>"), (Ids{0, 249999, 0, 12}));
}

} // namespace
} // namespace celvan
