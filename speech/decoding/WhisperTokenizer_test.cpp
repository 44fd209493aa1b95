#include "speech/decoding/WhisperTokenizer.h"

#include <gtest/gtest.h>

#include "tests/support/DecodingTestSupport.h"

namespace sonoscribe {
namespace {

std::vector<int64_t> textTokens(const WhisperTokenizerWrapper& tokenizer, const std::string& text) {
    return tokenizer.tokenizer().encode(text, false);
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& word : words) text += word;
    return text;
}

TEST(WhisperTokenizer, ResolvesSpecialTokensOfBothVocabularies) {
    const SpecialTokens english{.endToken = 50256, .englishToken = 50258, .noSpeechToken = 50362, .noTimestampsToken = 50362,
                                .specialTokenBegin = 50256, .startOfPreviousToken = 50360, .startOfTranscriptToken = 50257,
                                .timeTokenBegin = 50363, .transcribeToken = 50358, .translateToken = 50357,
                                .whitespaceToken = 220};
    const SpecialTokens multilingual{.endToken = 50257, .englishToken = 50259, .noSpeechToken = 50362,
                                     .noTimestampsToken = 50363, .specialTokenBegin = 50257, .startOfPreviousToken = 50361,
                                     .startOfTranscriptToken = 50258, .timeTokenBegin = 50364, .transcribeToken = 50359,
                                     .translateToken = 50358, .whitespaceToken = 220};
    EXPECT_EQ(testing::englishTokenizer()->specialTokens(), english);
    EXPECT_EQ(testing::multilingualTokenizer()->specialTokens(), multilingual);
    for (const auto* tokenizer : {testing::englishTokenizer().get(), testing::multilingualTokenizer().get()}) {
        const auto& languages = tokenizer->allLanguageTokens();
        EXPECT_EQ(languages.size(), 99u);
        EXPECT_EQ(*languages.begin(), tokenizer->specialTokens().englishToken);
        EXPECT_EQ(languageCode(*tokenizer, *languages.rbegin()), "su");
    }
}

TEST(WhisperTokenizer, SplitsWordsAtSpacesAndPunctuationOrBetweenCharacters) {
    const auto& tokenizer = *testing::englishTokenizer();
    const auto token = [&](const char* text) { return *tokenizer.convertTokenToId(text); };
    const std::vector<int64_t> hello{token("\u0120Hello"), token(","), token("\u0120wor"), token("ld"), token(".")};
    const auto words = tokenizer.splitToWordTokens(hello);
    EXPECT_EQ(words.words, (std::vector<std::string>{" Hello", ",", " world", "."}));
    EXPECT_EQ(words.wordTokens[2], (std::vector<int64_t>{hello[2], hello[3]}));
    EXPECT_TRUE(tokenizer.splitToWordTokens({}).words.empty());

    // Special tokens stand alone.
    const auto withSpecials = tokenizer.splitToWordTokens(
        {tokenizer.specialTokens().startOfTranscriptToken, hello[0], hello[1], tokenizer.specialTokens().timeTokenBegin + 5});
    EXPECT_EQ(withSpecials.words, (std::vector<std::string>{"<|startoftranscript|>", " Hello", ",", "<|0.10|>"}));

    // Japanese goes character by character, spaces or not, and never cuts a
    // character in two.
    const std::string japanese = "今日はとても良い天気ですね。 私たちは公園に行って桜を見ました。";
    const auto characters = tokenizer.splitToWordTokens(textTokens(tokenizer, japanese));
    EXPECT_EQ(joined(characters.words), japanese);
    EXPECT_GT(characters.words.size(), 25u);
    for (const auto& word : characters.words) EXPECT_EQ(word.find("\uFFFD"), std::string::npos) << word;
}

TEST(WhisperTokenizer, CountsPiecesInCodePointsOfTheWholeText) {
    const auto& tokenizer = *testing::englishTokenizer();
    // Combining accents join the letter before them in the whole text but
    // not in the pieces; a genuine replacement character at the end must
    // still be found and kept.
    const std::string text = "e\u0301e\u0301e\u0301 \uFFFD";
    const auto split = tokenizer.splitToWordTokens(textTokens(tokenizer, text));
    EXPECT_EQ(joined(split.words), text);
}

}  // namespace
}  // namespace sonoscribe
