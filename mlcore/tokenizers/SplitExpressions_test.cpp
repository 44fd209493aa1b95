#include "mlcore/tokenizers/SplitExpressions.h"

#include "mlcore/tokenizers/PreTokenizer.h"
#include "tests/support/TokenizerTestSupport.h"
#include "platform/text/Utf.h"

#include <gtest/gtest.h>

#include <string>

namespace celvan {
namespace {

using Splitter = std::vector<TextRange> (*)(std::string_view);

struct Equivalence {
    const char* name;
    const platform::text::Regex& expression;
    Splitter splitter;
};

const std::vector<Equivalence>& equivalences() {
    static const platform::text::Regex llama3(kLlama3SplitExpression);
    static const std::vector<Equivalence> all = {
        {"byte level", byteLevelExpression(), byteLevelRanges},
        {"llama3", llama3, llama3Ranges},
    };
    return all;
}

void expectSameAsExpression(const std::string& text, const std::string& name) {
    for (const auto& equivalence : equivalences()) {
        const auto expected = ranges(text, equivalence.expression);
        const auto found = equivalence.splitter(text);
        ASSERT_EQ(found.size(), expected.size()) << equivalence.name << ", " << name;
        for (std::size_t k = 0; k < found.size(); ++k) {
            ASSERT_EQ(found[k], expected[k])
                << equivalence.name << ", " << name << ": piece " << k << " at byte " << expected[k].begin;
        }
    }
}

TEST(SplitExpressions, FindsWhatTheExpressionMatchesOnEdgeInputs) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"one byte", "a"},
        {"one space", " "},
        {"contractions", "I'm sure they're, you've, we'll 'd' 's' 'S 'RE 'Ll 'vE ''s ' s don't '\u017F '\u212A"},
        {"digits in threes", "1234567 12 ١٢٣٤ x2024y"},
        {"line breaks", "a\r\n\r\n  b \n\tc!!\n\n d\r \r\n\n"},
        {"a leading symbol", "(word) 'hello \tword\nword"},
        {"a quote at the end", "it'"},
        {"spaces before words and at the end", "a  b   c \n\n  d\t\te  "},
        {"long run of spaces", std::string(5000, ' ') + "x" + std::string(3000, ' ')},
        {"100 KB word", std::string(100 * 1024, 'w')},
        {"100 KB of digits after a space", " " + std::string(100 * 1024, '7')},
        {"other whitespace", "a\u00A0b\u3000c\u2028d\u0085e\u000Bf"},
        {"combining marks and emoji", "cafe\u0301 na\u0308ive \U0001F642\U0001F44D x\u200Dy"},
        {"scripts and numbers", "日本語の文章。 Привет 123 ١٢٣ Ⅻ ½ 3:45"},
        {"invalid UTF-8", "a\xFF b \xE2\x82 c\xC0\xAF \xED\xA0\x80 d\xF4\x90\x80\x80 '\xFFs"},
        {"added tokens next to text", "<|endoftext|>Hello<|en|> world<|notimestamps|>"},
    };
    for (const auto& [name, text] : cases) expectSameAsExpression(text, name);
}

// Every scalar value between letters, after a space, before a digit and a
// line break, and doubled, so that its class decides the cuts each time.
TEST(SplitExpressions, FindsWhatTheExpressionMatchesForEveryScalar) {
    constexpr char32_t kBlock = 0x8000;
    for (char32_t first = 0; first <= 0x10FFFF; first += kBlock) {
        std::string text;
        for (char32_t scalar = first; scalar < first + kBlock && scalar <= 0x10FFFF; ++scalar) {
            if (scalar >= 0xD800 && scalar <= 0xDFFF) continue;
            std::string c;
            platform::text::appendUtf8(c, scalar);
            text += "a" + c + "b " + c + "1" + c + c + "\n" + "'" + c + "\r";
        }
        expectSameAsExpression(text, "block from " + std::to_string(static_cast<uint32_t>(first)));
    }
}

// Vocabularies hold pieces of every script and symbol their model met; the
// first two megabytes of each file keep the test quick.
TEST(SplitExpressions, FindsWhatTheExpressionMatchesInTokenizerFiles) {
    for (const std::string name : {"gpt2", "whisper-en", "bert", "llama2", "llama3"}) {
        const std::string file = testing::readFile(testing::fixtureFolder(name) / "tokenizer.json");
        expectSameAsExpression(file.substr(0, 2 << 20), name);
    }
}

} // namespace
} // namespace celvan
