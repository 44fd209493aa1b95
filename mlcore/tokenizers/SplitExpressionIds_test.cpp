#include "mlcore/tokenizers/Tokenizer.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

// A file whose pre-tokenizer says the same through an expression that the
// one-pass splits do not recognize is searched by the regular-expression
// engine, so its ids are the reference for the file's own.
struct Rewrite {
    std::string fixture;
    std::string original;
    std::string searched;
};

const std::vector<Rewrite>& rewrites() {
    static const std::vector<Rewrite> all = {
        {"whisper-en", R"("pre_tokenizer":{"type":"ByteLevel","add_prefix_space":false,"trim_offsets":true,"use_regex":true})",
         R"("pre_tokenizer":{"type":"Sequence","pretokenizers":[{"type":"Split","pattern":{"Regex":)"
         R"("'s|'t|'re|'ve|'m|'ll|'d| ?\\p{L}+| ?\\p{N}+| ?[^\\s\\p{L}\\p{N}]+|\\s+(?!\\S)|\\s+"},)"
         R"("behavior":"Isolated","invert":false},{"type":"ByteLevel","add_prefix_space":false,"use_regex":false}]})"},
        // An alternative that never matches changes no match.
        {"llama3", R"x(\\s+(?!\\S)|\\s+")x", R"x(\\s+(?!\\S)|\\s+|(?!)")x"},
    };
    return all;
}

std::vector<std::string> texts() {
    const std::string paragraph =
        "The quick brown fox jumps over the lazy dog; it was 3:45 pm on 2024-05-17.\n"
        "Le cœur a ses raisons que la raison ne connaît point. Déjà vu, naïve café!\n"
        "日本語の文章はスペースなしで書かれます。Привет, как дела? 🙂👍 \"quotes\" (too).\r\n"
        "    indented code: for (int i = 0; i < n; ++i) { sum += values[i]; }\n\n\t 12345 I'M we'LL\n";
    std::string corpus;
    while (corpus.size() < 64 * 1024) corpus += paragraph;
    return {
        corpus,
        "",
        "a",
        "\xFF invalid \xE2\x82 bytes \xC0\xAF\xED\xA0\x80",
        std::string(3000, ' ') + "x" + std::string(2000, ' '),
        std::string(100 * 1024, 'w'),
        "<|endoftext|>Hello<|en|> world<|notimestamps|>",
        "<|begin_of_text|>Hi there<|eot_id|>\n<|start_header_id|>",
    };
}

TEST(SplitExpressionIds, OnePassSplitsGiveTheIdsOfTheFilesExpressions) {
    const auto inputs = texts();
    for (const auto& rewrite : rewrites()) {
        const std::string file = testing::readFile(testing::fixtureFolder(rewrite.fixture) / "tokenizer.json");
        const std::size_t at = file.find(rewrite.original);
        ASSERT_NE(at, std::string::npos) << rewrite.fixture;
        std::string searchedFile = file;
        searchedFile.replace(at, rewrite.original.size(), rewrite.searched);

        const Config tokenizerConfig = testing::fixtureConfig(rewrite.fixture, "tokenizer_config.json");
        const PreTrainedTokenizer onePass(tokenizerConfig, testing::configFromJson(file), true);
        const PreTrainedTokenizer searched(tokenizerConfig, testing::configFromJson(searchedFile), true);
        for (std::size_t k = 0; k < inputs.size(); ++k) {
            EXPECT_EQ(onePass.encode(inputs[k], false), searched.encode(inputs[k], false))
                << rewrite.fixture << ", text " << k;
        }
    }
}

} // namespace
} // namespace celvan
