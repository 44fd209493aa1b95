#include "mlcore/tokenizers/PostProcessor.h"

#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace celvan {
namespace {

using Tokens = std::vector<std::string>;

const std::string kBert = R"({"type": "BertProcessing", "sep": ["[SEP]", 102], "cls": ["[CLS]", 101]})";
const std::string kRoberta = R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0]})";
const std::string kTemplate = R"({"type": "TemplateProcessing",
    "single": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
               {"SpecialToken": {"id": "[SEP]", "type_id": 0}}],
    "pair": [{"SpecialToken": {"id": "[CLS]", "type_id": 0}}, {"Sequence": {"id": "A", "type_id": 0}},
             {"SpecialToken": {"id": "[SEP]", "type_id": 0}}, {"Sequence": {"id": "B", "type_id": 1}},
             {"SpecialToken": {"id": "[SEP]", "type_id": 1}}, "ignored", {"Sequence": {"id": "C"}}]})";

TEST(PostProcessor, AddsSpecialTokensAsEachTypeSays) {
    struct Case {
        std::string json;
        std::optional<Tokens> pair;
        bool addSpecialTokens;
        Tokens expected;
    };
    const std::vector<Case> cases = {
        {kBert, std::nullopt, true, {"[CLS]", "a", "b", "[SEP]"}},
        {kBert, Tokens{"c"}, true, {"[CLS]", "a", "b", "[SEP]", "c", "[SEP]"}},
        {kBert, Tokens{}, true, {"[CLS]", "a", "b", "[SEP]"}},
        {kBert, Tokens{"c"}, false, {"a", "b", "c"}},
        {kTemplate, std::nullopt, true, {"[CLS]", "a", "b", "[SEP]"}},
        {kTemplate, std::nullopt, false, {"a", "b"}},
        {kTemplate, Tokens{"c"}, true, {"[CLS]", "a", "b", "[SEP]", "c", "[SEP]"}},
        {kTemplate, Tokens{}, true, {"[CLS]", "a", "b", "[SEP]", "[SEP]"}},
        {kRoberta, std::nullopt, true, {"<s>", "a", "b", "</s>"}},
        {kRoberta, Tokens{"c"}, true, {"<s>", "a", "b", "</s>", "</s>", "c", "</s>"}},
        // Asked for no special tokens, Roberta adds none either.
        {kRoberta, Tokens{"c"}, false, {"a", "b", "c"}},
        {R"({"type": "ByteLevel", "trim_offsets": false})", Tokens{"c"}, true, {"a", "b"}},
        {R"({"type": "Sequence", "processors": [)" + kRoberta + R"(, {"type": "ByteLevel"}]})", std::nullopt, true,
         {"<s>", "a", "b", "</s>"}},
        {R"({"type": "Sequence", "processors": []})", Tokens{"c"}, true, {"a", "b"}},
    };
    for (const auto& c : cases) {
        const auto processor = PostProcessorFactory::fromConfig(testing::configFromJson(c.json));
        ASSERT_NE(processor, nullptr) << c.json;
        EXPECT_EQ((*processor)({"a", "b"}, c.pair, c.addSpecialTokens), c.expected) << c.json;
    }
}

TEST(PostProcessor, TemplateWithoutPairIgnoresTheSecondSequence) {
    const auto processor = PostProcessorFactory::fromConfig(testing::configFromJson(R"({"type": "TemplateProcessing",
        "single": [{"Sequence": {"id": "A"}}, {"Sequence": {"id": "B"}}, {"SpecialToken": {"id": "</s>"}}],
        "pair": []})"));
    ASSERT_NE(processor, nullptr);
    EXPECT_EQ((*processor)({"x"}), (Tokens{"x", "</s>"}));
}

TEST(PostProcessor, RobertaTrimsWhitespaceAroundTokens) {
    struct Case {
        std::string flags;
        Tokens tokens;
        Tokens expected;
    };
    const std::vector<Case> cases = {
        {"", {"  a  ", "b"}, {"<s>", " a ", "b", "</s>"}},
        {R"(, "add_prefix_space": false)", {" \ta\t ", "\n"}, {"<s>", "a", "\n", "</s>"}},
        {R"(, "trim_offset": false)", {"  a  "}, {"<s>", "  a  ", "</s>"}},
        // The setting is named without the final s; that spelling is not it.
        {R"(, "trim_offsets": false)", {"  a  "}, {"<s>", " a ", "</s>"}},
        {"", {"   "}, {"<s>", " ", "</s>"}},
    };
    for (const auto& c : cases) {
        const auto processor = PostProcessorFactory::fromConfig(
            testing::configFromJson(R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": ["<s>", 0])" + c.flags + "}"));
        ASSERT_NE(processor, nullptr);
        EXPECT_EQ((*processor)(c.tokens), c.expected) << c.flags;
    }
}

TEST(PostProcessor, UnusableConfigurationIsAnErrorWithItsMessage) {
    testing::expectRejected(
        {
            {R"({"type": ""})", "Unsupported PostProcessor type: "},
            {R"({"type": "Whatever"})", "Unsupported PostProcessor type: Whatever"},
            {R"({"type": "TemplateProcessing", "pair": []})", "Missing `single` processor configuration"},
            {R"({"type": "TemplateProcessing", "single": []})", "Missing `pair` processor configuration"},
            {R"({"type": "BertProcessing", "cls": ["[CLS]", 101]})", "Missing `sep` processor configuration"},
            {R"({"type": "RobertaProcessing", "sep": ["</s>", 2], "cls": [0, "<s>"]})", "Missing `cls` processor configuration"},
            {R"({"type": "Sequence"})", "Missing `processors` configuration"},
        },
        [](const Config& config) { PostProcessorFactory::fromConfig(config); });
    EXPECT_EQ(PostProcessorFactory::fromConfig(testing::configFromJson("null")), nullptr);
    EXPECT_EQ(PostProcessorFactory::fromConfig(testing::configFromJson(R"({"type": 1})")), nullptr);
}

} // namespace
} // namespace celvan
