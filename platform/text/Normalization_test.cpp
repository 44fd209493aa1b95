#include "platform/text/Normalization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::text {
namespace {

TEST(Normalization, ProducesEachForm) {
    struct Case {
        std::string text;
        NormalizationForm form;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"e\u0301", NormalizationForm::C, "\u00E9"},
        {"\u00E9", NormalizationForm::D, "e\u0301"},
        {"\uFB01 \u00A0\uFF5E", NormalizationForm::KC, "fi  ~"},
        {"\u1E9B\u0323", NormalizationForm::KD, "s\u0323\u0307"},
        {"\uFB01", NormalizationForm::C, "\uFB01"},
        {"", NormalizationForm::KC, ""},
        {"a\xC3", NormalizationForm::C, "a\uFFFD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalized(c.text, c.form), c.expected) << c.text;
    }
}

TEST(Normalization, FoldingDiacriticsDropsMarksOnly) {
    struct Case {
        std::string text, expected;
    };
    const std::vector<Case> cases = {
        {"Héllo", "Hello"},
        {"e\u0301", "e"},
        {"Ångström naïve", "Angstrom naive"},
        {"\uFB01", "\uFB01"},
        {"日本語", "日本語"},
        {"\u0915\u093F", "\u0915\u093F"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(foldingDiacritics(c.text), c.expected) << c.text;
    }
}

} // namespace
} // namespace platform::text
