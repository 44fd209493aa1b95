#include "platform/text/DominantLanguage.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(DominantLanguage, NamesTheLanguageOfClearTextAndNothingForTooLittle) {
    const struct {
        std::string text;
        std::optional<std::string> expected;
    } cases[] = {
        {"The quick brown fox jumps over the lazy dog while the farmer watches from the porch.", "en"},
        {"Der schnelle braune Fuchs springt über den faulen Hund, während der Bauer von der Veranda zusieht.", "de"},
        {"今日はとても良い天気ですね。私たちは公園に行って、桜の花を見ながらお弁当を食べました。", "ja"},
        // Simplified and traditional script are one language to the caller.
        {"我们今天去公园散步，天气非常好，我们看到了很多美丽的花和树，还有很多人在那里锻炼身体。", "zh"},
        {"我們今天去公園散步，天氣非常好，我們看到了很多美麗的花和樹，還有很多人在那裡鍛煉身體。", "zh"},
        {"", std::nullopt},
        {"\xff\xfe not text", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dominantLanguage(c.text), c.expected) << c.text;
    }
}

}  // namespace
}  // namespace platform::text
