#include "speech/model/Constants.h"

#include <gtest/gtest.h>

#include "speech/model/ModelVariant.h"

namespace sonoscribe {
namespace {

std::size_t codePointCount(std::string_view utf8) {
    std::size_t count = 0;
    for (unsigned char byte : utf8) count += (byte & 0xC0) != 0x80;
    return count;
}

TEST(Constants, LanguageTableMapsEveryNameToItsCode) {
    const auto& languages = Constants::languages();
    EXPECT_EQ(languages.size(), 112u);
    EXPECT_EQ(Constants::languageCodes().size(), 100u);
    struct Case {
        const char* name;
        const char* code;
    };
    for (const Case& c : {Case{"english", "en"}, Case{"burmese", "my"}, Case{"myanmar", "my"},
                          Case{"castilian", "es"}, Case{"spanish", "es"}, Case{"haitian creole", "ht"},
                          Case{"javanese", "jw"}, Case{"hawaiian", "haw"}, Case{"cantonese", "yue"},
                          Case{"moldovan", "ro"}, Case{"mandarin", "zh"}}) {
        ASSERT_TRUE(languages.contains(c.name)) << c.name;
        EXPECT_EQ(languages.at(c.name), c.code) << c.name;
    }
    for (const auto& [name, code] : languages) EXPECT_TRUE(Constants::languageCodes().contains(code)) << name;
}

TEST(Constants, PunctuationSetsHoldTheirCharacters) {
    EXPECT_EQ(codePointCount(Constants::defaultPrependPunctuations), 9u);
    EXPECT_EQ(Constants::defaultPrependPunctuations.size(), 13u);
    EXPECT_EQ(codePointCount(Constants::defaultAppendPunctuations), 17u);
    EXPECT_EQ(Constants::defaultAppendPunctuations.size(), 31u);
}

TEST(ModelVariant, NamesAndLanguageSupportFollowTheCaseOrder) {
    struct Case {
        ModelVariant variant;
        const char* name;
        bool multilingual;
    };
    const Case cases[] = {
        {ModelVariant::tiny, "tiny", true},         {ModelVariant::tinyEn, "tiny.en", false},
        {ModelVariant::base, "base", true},         {ModelVariant::baseEn, "base.en", false},
        {ModelVariant::small, "small", true},       {ModelVariant::smallEn, "small.en", false},
        {ModelVariant::medium, "medium", true},     {ModelVariant::mediumEn, "medium.en", false},
        {ModelVariant::large, "large", true},       {ModelVariant::largev2, "large-v2", true},
        {ModelVariant::largev3, "large-v3", true},
    };
    ASSERT_EQ(std::size(cases), allModelVariants.size());
    for (std::size_t i = 0; i < allModelVariants.size(); ++i) {
        EXPECT_EQ(allModelVariants[i], cases[i].variant);
        EXPECT_EQ(description(cases[i].variant), cases[i].name);
        EXPECT_EQ(isMultilingual(cases[i].variant), cases[i].multilingual) << cases[i].name;
    }
}

}  // namespace
}  // namespace sonoscribe
