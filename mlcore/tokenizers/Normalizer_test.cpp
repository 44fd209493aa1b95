#include "mlcore/tokenizers/Normalizer.h"

#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace celvan {
namespace {

std::string normalized(const std::string& json, const std::string& text) {
    const auto normalizer = NormalizerFactory::fromConfig(testing::configFromJson(json));
    if (!normalizer) {
        ADD_FAILURE() << "no normalizer from " << json;
        return {};
    }
    return (*normalizer)(text);
}

TEST(Normalizer, RewritesTextAsEachTypeSays) {
    struct Case {
        std::string json;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "Prepend", "prepend": "▁"})", "", "▁"},
        {R"({"type": "Prepend", "prepend": "▁"})", "ab", "▁ab"},
        {R"({"type": "Replace", "pattern": {"String": " "}, "content": "▁"})", "a b  c", "a▁b▁▁c"},
        {R"j({"type": "Replace", "pattern": {"Regex": "(\\d+)-(\\d+)"}, "content": "$2:$1"})j", "1-22 x", "22:1 x"},
        {R"({"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": " "})", "a   b", "a b"},
        {R"({"type": "Replace", "pattern": {"Regex": "x*"}, "content": "-"})", "ab", "-a-b-"},
        {R"({"type": "Replace", "pattern": {}, "content": "x"})", "kept", "kept"},
        {R"({"type": "Lowercase"})", "HÉLLO ΣΑΣ", "héllo σασ"},
        {R"({"type": "NFD"})", "é", "e\u0301"},
        {R"({"type": "NFC"})", "e\u0301", "é"},
        {R"({"type": "NFKD"})", "ﬁé", "fie\u0301"},
        {R"({"type": "NFKC"})", "ﬁ\u00A0", "fi "},
        {R"({"type": "StripAccents"})", "e\u0301a\u0308", "ea"},
        {R"({"type": "Sequence", "normalizers": [{"type": "NFD"}, {"type": "StripAccents"}]})", "Crème brûlée", "Creme brulee"},
        {R"({"type": "Sequence", "normalizers": [{"no": "type"}]})", "same", "same"},
        {R"({"type": "Strip"})", " \t\n text \u3000", "text"},
        {R"({"type": "Strip", "strip_left": false})", "  a  ", "  a"},
        {R"({"type": "Strip", "stripRight": false})", "  a  ", "a  "},
        {R"({"type": "Strip"})", "   ", ""},
        {R"({"type": "Precompiled"})", "a\uFF5E\uFF5Eb", "a\uFF5Eb"},
        {R"({"type": "Precompiled"})", "\uFF5Ea", "a"},
        {R"({"type": "Precompiled"})", "a\u00A0b\tc\u0001d\u200Be", "a b cd e"},
        {R"({"type": "Precompiled"})", "ｈｅｌｌｏ", "hello"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalized(c.json, c.text), c.expected) << c.json << " on " << c.text;
}

TEST(Normalizer, BertNormalizerCleansPadsStripsAndLowercases) {
    struct Case {
        std::string json;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {R"({"type": "BertNormalizer"})", "a\tb\r\nc", "a b  c"},
        {R"({"type": "BertNormalizer"})", "中文", " 中  文 "},
        {R"({"type": "BertNormalizer"})", "Héllo", "hello"},
        {R"({"type": "Bert"})", "Héllo", "hello"},
        {R"({"type": "BertNormalizer"})", std::string("a\0b\uFFFDc\u200Bd\u0007e", 13), "abcde"},
        // Every nonspacing mark goes, not only the Latin combining accents.
        {R"({"type": "BertNormalizer"})", "\u0915\u093F\u0901", "\u0915\u093F"},
        {R"({"type": "BertNormalizer", "lowercase": false})", "Héllo", "Héllo"},
        {R"({"type": "BertNormalizer", "lowercase": false, "strip_accents": true})", "Héllo", "Hello"},
        {R"({"type": "BertNormalizer", "strip_accents": false})", "Héllo", "héllo"},
        {R"({"type": "BertNormalizer", "handle_chinese_chars": false, "clean_text": false})", "中\t", "中\t"},
    };
    for (const auto& c : cases) EXPECT_EQ(normalized(c.json, c.text), c.expected) << c.json << " on " << c.text;
}

TEST(Normalizer, StripAccentsAloneKeepsComposedLettersWhileBertStripsThem) {
    EXPECT_EQ(normalized(R"({"type": "StripAccents"})", "\u00E9"), "\u00E9");
    EXPECT_EQ(normalized(R"({"type": "BertNormalizer", "lowercase": true})", "\u00E9"), "e");
}

TEST(Normalizer, AbsentOrUntypedConfigurationGivesNoNormalizer) {
    for (const std::string json : {"null", "{}", R"({"type": 3})", R"({"type": null})", "[]", "\"NFC\""}) {
        EXPECT_EQ(NormalizerFactory::fromConfig(testing::configFromJson(json)), nullptr) << json;
    }
}

TEST(Normalizer, UnusableConfigurationIsAnErrorWithItsMessage) {
    testing::expectRejected(
        {
            {R"({"type": ""})", "Unsupported Normalizer type: "},
            {R"({"type": "Unknown"})", "Unsupported Normalizer type: Unknown"},
            {R"({"type": "Sequence"})", "No normalizers in Sequence"},
            {R"({"type": "Sequence", "normalizers": {}})", "No normalizers in Sequence"},
            {R"({"type": "Sequence", "normalizers": [{"type": "Nope"}]})", "Unsupported Normalizer type: Nope"},
            {R"({"type": "Replace", "pattern": {"Regex": "(unclosed"}, "content": ""})", "Cannot build regexp from (unclosed"},
            {R"j({"type": "Replace", "pattern": {"Regex": "(a)"}, "content": "$2"})j",
             "Cannot use $2 as the replacement for regexp (a)"},
        },
        [](const Config& config) { NormalizerFactory::fromConfig(config); });
}

} // namespace
} // namespace celvan
