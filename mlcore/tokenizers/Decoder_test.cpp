#include "mlcore/tokenizers/Decoder.h"

#include "mlcore/tokenizers/ByteEncoder.h"
#include "mlcore/tokenizers/PreTokenizer.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

using Tokens = std::vector<std::string>;

Tokens decoded(const std::string& json, const Tokens& tokens, const std::set<std::string>& addedTokens = {}) {
    const auto decoder = DecoderFactory::fromConfig(testing::configFromJson(json), addedTokens);
    if (!decoder) {
        ADD_FAILURE() << "no decoder from " << json;
        return {};
    }
    return (*decoder)(tokens);
}

TEST(Decoder, TurnsTokensBackIntoTextAsEachTypeSays) {
    struct Case {
        std::string json;
        Tokens tokens;
        Tokens expected;
    };
    const std::string wordPiece = R"({"type": "WordPiece", "prefix": "##"})";
    const std::string llama = R"({"type": "Sequence", "decoders": [
        {"type": "Replace", "pattern": {"String": "▁"}, "content": " "}, {"type": "ByteFallback"}, {"type": "Fuse"},
        {"type": "Strip", "content": " ", "start": 1, "stop": 0}]})";
    const std::vector<Case> cases = {
        {R"({"type": "Fuse"})", {"a", "b", "c"}, {"abc"}},
        {R"({"type": "Fuse"})", {}, {""}},
        {wordPiece, {"un", "##aff", "##able", "!"}, {"un", "aff", "able", " !"}},
        {R"({"type": "WordPiece", "prefix": "##", "cleanup": true})", {"un", "##aff", "##able", "!"},
         {"un", "aff", "able", "!"}},
        {R"({"type": "WordPiece", "prefix": "##", "cleanup": true})", {"I do not", "'s"}, {"I don't", "'s"}},
        {wordPiece, {}, {}},
        // Every token begins with an empty prefix, so none gets a space.
        {R"({"type": "WordPiece", "prefix": ""})", {"a", "b"}, {"a", "b"}},
        {R"({"type": "ByteFallback"})", {"<0x41>", "<0x42>", "c"}, {"AB", "c"}},
        {R"({"type": "ByteFallback"})", {"x", "<0x41>"}, {"x", "A"}},
        {R"({"type": "ByteFallback"})", {"<0xE2>", "<0x82>", "<0xAC>"}, {"€"}},
        {R"({"type": "ByteFallback"})", {"<0xFF>"}, {"\uFFFD"}},
        {R"({"type": "ByteFallback"})", {"<0xZZ>", "<0x4>", "<0x+1>", "<0x-1>"}, {"<0xZZ>", "<0x4>", "<0x+1>", "<0x-1>"}},
        {R"({"type": "Metaspace"})", {"_Hello", "_world"}, {" Hello", " world"}},
        {R"({"type": "Metaspace", "add_prefix_space": true})", {"_Hello", "_world"}, {"Hello", " world"}},
        {R"({"type": "Metaspace", "replacement": "▁", "add_prefix_space": true})", {"▁Hi", "_x"}, {"Hi", "_x"}},
        {R"({"type": "Metaspace", "add_prefix_space": false})", {"▁Hi"}, {"▁Hi"}},
        // Newer files give only the scheme.
        {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "always"})", {"▁Hi", "▁you"}, {"Hi", " you"}},
        {R"({"type": "Metaspace", "replacement": "▁", "prepend_scheme": "never"})", {"▁Hi"}, {" Hi"}},
        {R"({"type": "Strip", "content": " ", "start": 1, "stop": 0})", {"  a", "a"}, {" a", "a"}},
        {R"({"type": "Strip", "content": " ", "start": 0, "stop": 2})", {"a   ", " "}, {"a ", ""}},
        {R"({"type": "Strip", "content": "x", "start": -3, "stop": 5})", {"xax"}, {"xa"}},
        {R"({"type": "Replace", "pattern": {"Regex": "(\\w)_"}, "content": "$1 "})", {"a_b", "c"}, {"a b", "c"}},
        {R"({"type": "Replace", "pattern": {"String": "▁"}, "content": " "})", {"▁a▁"}, {" a "}},
        {R"({"type": "Sequence", "decoders": [{"no": "type"}]})", {"same"}, {"same"}},
        {llama, {"▁Hello", "<0xE2>", "<0x82>", "<0xAC>", "▁you"}, {"Hello€ you"}},
    };
    for (const auto& c : cases) EXPECT_EQ(decoded(c.json, c.tokens), c.expected) << c.json;
}

TEST(Decoder, ByteLevelKeepsAddedTokensApartAndRepairsBytes) {
    const std::string space = byteEncoder()[' '];
    const std::string json = R"({"type": "ByteLevel"})";
    EXPECT_EQ(decoded(json, {"Hello", space + "world", "<|endoftext|>", space + "again"}, {"<|endoftext|>"}),
              (Tokens{"Hello world", "<|endoftext|>", " again"}));
    EXPECT_EQ(decoded(json, {"<|endoftext|>"}, {"<|endoftext|>"}), (Tokens{"<|endoftext|>"}));
    EXPECT_EQ(decoded(json, {}), Tokens{});
    // Half of "é" is no text; it is shown as the replacement character.
    EXPECT_EQ(decoded(json, {"a\u00C3"}), (Tokens{"a\uFFFD"}));
    // Inside a sequence the decoder knows no added tokens.
    EXPECT_EQ(decoded(R"({"type": "Sequence", "decoders": [{"type": "ByteLevel"}]})", {"a", "<|x|>"}, {"<|x|>"}),
              (Tokens{"a<|x|>"}));
}

TEST(Decoder, ByteLevelRoundTripsWhatTheByteLevelPreTokenizerProduced) {
    const auto preTokenizer = PreTokenizerFactory::fromConfig(testing::configFromJson(R"({"type": "ByteLevel"})"));
    const auto decoder = DecoderFactory::fromConfig(testing::configFromJson(R"({"type": "ByteLevel"})"), {});
    ASSERT_NE(preTokenizer, nullptr);
    ASSERT_NE(decoder, nullptr);
    const std::vector<std::string> corpus = {
        "Hello world. It's 2024!",
        "Crème brûlée, naïve café",
        "日本語のテキストと中文",
        "emoji 👩‍👩‍👧 and flags 🇫🇷",
        "tabs\tand\nnew\r\nlines  ",
        std::string("nul\0byte", 8),
    };
    for (const auto& text : corpus) {
        std::string joined;
        for (const auto& piece : (*decoder)((*preTokenizer)(text))) joined += piece;
        EXPECT_EQ(joined, text);
    }
    std::string joined;
    for (const auto& piece : (*decoder)((*preTokenizer)("bad \xFF\xC3 bytes"))) joined += piece;
    EXPECT_EQ(joined, "bad \uFFFD\uFFFD bytes");
}

TEST(Decoder, UnusableConfigurationIsAnErrorWithItsMessage) {
    testing::expectRejected(
        {
            {R"({"type": ""})", "Unsupported Decoder type: "},
            {R"({"type": "CTC"})", "Unsupported Decoder type: CTC"},
            {R"({"type": "Sequence"})", "No decoders in Sequence"},
            {R"({"type": "WordPiece"})", "Missing `prefix` configuration for WordPieceDecoder."},
            {R"({"type": "WordPiece", "prefix": 1})", "Missing `prefix` configuration for WordPieceDecoder."},
            {R"({"type": "Strip", "start": 1, "stop": 0})", "Incorrect StripDecoder configuration: can't parse `content`."},
            {R"({"type": "Strip", "content": " ", "start": "1", "stop": 0})",
             "Incorrect StripDecoder configuration: can't parse `start`."},
            {R"({"type": "Strip", "content": " ", "start": 1})", "Incorrect StripDecoder configuration: can't parse `stop`."},
            {R"({"type": "Replace", "pattern": {"Regex": "("}, "content": ""})", "Cannot build regexp from ("},
        },
        [](const Config& config) { DecoderFactory::fromConfig(config); });
    EXPECT_EQ(DecoderFactory::fromConfig(testing::configFromJson("{}")), nullptr);
}

} // namespace
} // namespace celvan
