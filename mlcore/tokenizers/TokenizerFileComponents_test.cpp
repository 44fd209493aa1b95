#include "mlcore/tokenizers/Decoder.h"
#include "mlcore/tokenizers/Normalizer.h"
#include "mlcore/tokenizers/PostProcessor.h"
#include "mlcore/tokenizers/PreTokenizer.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace celvan {
namespace {

using Tokens = std::vector<std::string>;

// The components of one real tokenizer file, as the file configures them.
struct FileComponents {
    std::shared_ptr<const Normalizer> normalizer;
    std::shared_ptr<const PreTokenizer> preTokenizer;
    std::shared_ptr<const PostProcessor> postProcessor;
    std::shared_ptr<const Decoder> decoder;
    std::set<std::string> addedTokens;
};

FileComponents components(const std::string& folder) {
    const Config data = testing::fixtureConfig(folder, "tokenizer.json");
    FileComponents built;
    if (const auto* added = data["added_tokens"].array()) {
        for (const auto& token : *added) {
            if (const auto content = token["content"].string()) built.addedTokens.insert(*content);
        }
    }
    built.normalizer = NormalizerFactory::fromConfig(data["normalizer"]);
    built.preTokenizer = PreTokenizerFactory::fromConfig(data["pre_tokenizer"]);
    built.postProcessor = PostProcessorFactory::fromConfig(data["post_processor"]);
    built.decoder = DecoderFactory::fromConfig(data["decoder"], built.addedTokens);
    return built;
}

std::string joined(const Tokens& pieces) {
    std::string text;
    for (const auto& piece : pieces) text += piece;
    return text;
}

const std::vector<std::string> kMixedCorpus = {
    "Hello world. It's 2024, isn't it?",
    "Crème brûlée, naïve café, Ångström",
    "日本語のテキストと中文，한국어",
    "emoji 👩‍👩‍👧 and flags 🇫🇷 ✨",
    "tabs\tand\nnew\r\nlines   and trailing  ",
    "numbers 1234567 and symbols $%&*(){}[]",
};

TEST(TokenizerFileComponents, WhisperFileAddsItsTaskTokensAndDecodesAroundThem) {
    const auto whisper = components("whisper-en");
    EXPECT_EQ(whisper.addedTokens.size(), 1608u);
    EXPECT_EQ(whisper.normalizer, nullptr);
    EXPECT_EQ((*whisper.preTokenizer)(" Hello world."), (Tokens{"ĠHello", "Ġworld", "."}));
    EXPECT_EQ((*whisper.postProcessor)({"ĠHello", "Ġworld", "."}),
              (Tokens{"<|startoftranscript|>", "<|notimestamps|>", "ĠHello", "Ġworld", ".", "<|endoftext|>"}));
    EXPECT_EQ((*whisper.postProcessor)({"ĠHi"}, std::nullopt, false), (Tokens{"ĠHi"}));
    EXPECT_EQ((*whisper.decoder)({"<|startoftranscript|>", "<|en|>", "ĠHello", "Ġworld", "<|0.00|>", ".", "<|endoftext|>"}),
              (Tokens{"<|startoftranscript|>", "<|en|>", " Hello world", "<|0.00|>", ".", "<|endoftext|>"}));
}

TEST(TokenizerFileComponents, ByteLevelFilesGiveBackEveryText) {
    for (const std::string folder : {"gpt2", "whisper-en", "llama3"}) {
        const auto file = components(folder);
        for (const auto& text : kMixedCorpus) {
            EXPECT_EQ(joined((*file.decoder)((*file.preTokenizer)(text))), text) << folder << ": " << text;
        }
        // Bytes that are no text come back as replacement characters.
        EXPECT_EQ(joined((*file.decoder)((*file.preTokenizer)("bad \xFF\xC3 bytes"))), "bad \uFFFD\uFFFD bytes") << folder;
    }
}

TEST(TokenizerFileComponents, Llama3SplitsAsItsExpressionSays) {
    const auto llama3 = components("llama3");
    EXPECT_EQ((*llama3.preTokenizer)("Hello world 12345 IT'S\n\nok"),
              (Tokens{"Hello", "Ġworld", "Ġ", "123", "45", "ĠIT", "'S", "ĊĊ", "ok"}));
}

TEST(TokenizerFileComponents, Llama2MarksWordsAndDecodesByteFallback) {
    const auto llama2 = components("llama2");
    EXPECT_EQ(llama2.preTokenizer, nullptr);
    EXPECT_EQ((*llama2.normalizer)("Hello world"), "▁Hello▁world");
    EXPECT_EQ((*llama2.postProcessor)({"▁Hello"}), (Tokens{"<s>", "▁Hello"}));
    EXPECT_EQ(joined((*llama2.decoder)({"▁Hello", "▁world", "<0xE2>", "<0x82>", "<0xAC>", "▁"})), "Hello world€ ");
}

TEST(TokenizerFileComponents, BertFileLowercasesSplitsAndJoinsWordPieces) {
    const auto bert = components("bert");
    EXPECT_EQ((*bert.preTokenizer)((*bert.normalizer)("I like Strawberries, \tCAFÉ!")),
              (Tokens{"i", "like", "strawberries", ",", "cafe", "!"}));
    EXPECT_EQ((*bert.postProcessor)({"i", "like"}), (Tokens{"[CLS]", "i", "like", "[SEP]"}));
    EXPECT_EQ(joined((*bert.decoder)({"i", "like", "straw", "##berries", "!"})), "i like strawberries!");
}

} // namespace
} // namespace celvan
