#include "mlcore/foundation/FoundationExtensions.h"

#include "platform/foundation/ProcessInfo.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace celvan {
namespace {

using Names = std::vector<std::string>;

TEST(Matching, FollowsFnmatchWithoutFlags) {
    const Names names = {"a/b.json", "c.json", ".hidden", "model.bin", "weights-1.bin", "x?y"};
    const struct {
        const char* glob;
        Names expected;
    } cases[] = {
        {"*.json", {"a/b.json", "c.json"}},
        {"*", names},
        {"?.json", {"c.json"}},
        {"weights-[0-9].bin", {"weights-1.bin"}},
        {"x\\?y", {"x?y"}},
        {"*.safetensors", {}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(matching(names, c.glob), c.expected) << c.glob;
}

TEST(Batched, CutsConsecutiveChunksAndRefusesSizesBelowOne) {
    const std::vector<int> seven = {1, 2, 3, 4, 5, 6, 7};
    using Chunks = std::vector<std::vector<int>>;
    EXPECT_EQ(batched(seven, 3), (Chunks{{1, 2, 3}, {4, 5, 6}, {7}}));
    EXPECT_EQ(batched(seven, 10), (Chunks{seven}));
    EXPECT_EQ(batched(seven, 7), (Chunks{seven}));
    EXPECT_EQ(batched(seven, 1).size(), 7u);
    EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
    EXPECT_TRUE(batched(seven, 0).empty());
    EXPECT_TRUE(batched(seven, -2).empty());
}

TEST(OrderedSet, KeepsFirstOccurrencesInOrder) {
    EXPECT_EQ(orderedSet(std::vector<int>{3, 1, 3, 2, 1}), (std::vector<int>{3, 1, 2}));
    EXPECT_EQ(orderedSet(Names{"b", "a", "b"}), (Names{"b", "a"}));
    EXPECT_TRUE(orderedSet(std::vector<int>{}).empty());
}

TEST(TrimmingFromEnd, RemovesWholeCharactersUpToTheLimit) {
    const struct {
        std::string text, character;
        int upto;
        std::string expected;
    } cases[] = {
        {"abxxx", "x", 2, "abx"},
        {"abxxx", "x", 10, "ab"},
        {"abxxx", "x", 0, "abxxx"},
        {"abxxx", "x", -1, "abxxx"},
        {"", "x", 3, ""},
        {"xxa", "x", 3, "xxa"},
        {"abe\xCC\x81", "\xC3\xA9", 1, "ab"},            // decomposed é equals precomposed é
        {"abx\xCC\x81", "x", 1, "abx\xCC\x81"},           // x with a mark is another character
        {"a\r\n", "\n", 1, "a\r\n"},                      // CR LF is one character
        {"a\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", 1, "a"},
    };
    for (const auto& c : cases) EXPECT_EQ(trimmingFromEnd(c.text, c.character, c.upto), c.expected) << c.text;
}

std::vector<int> countWords(const std::string& text) {
    std::istringstream stream(text);
    std::vector<int> words;
    for (std::string word; stream >> word;) words.push_back(0);
    return words;
}

TEST(LastNaturalBoundary, CutsAtSentenceThenClauseThenSpace) {
    const struct {
        std::string text;
        int minTokens;
        std::optional<std::string> expected;
    } cases[] = {
        {"Hello world. This is", 2, "Hello world."},
        {"Hello world. This is", 3, "Hello world. This"},
        {"One two, three four", 3, "One two, three"},
        {"One two, three four", 2, "One two,"},
        {"Wait! Really? yes", 1, "Wait! Really?"},
        {"  lead in.\n  tail", 2, "lead in."},
        {"first line\r\nsecond", 1, "first"},  // CR LF is no line feed; the space step cuts
        {"a \xE2\x80\x93 b c", 2, "a \xE2\x80\x93"},
        {"nothing", 1, std::nullopt},
        {"too short.", 5, std::nullopt},
        {"", 0, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(lastNaturalBoundary(c.text, c.minTokens, countWords), c.expected) << c.text;
}

TEST(LastNaturalBoundary, EncodesEachTrimmedCandidateOnceAtMost) {
    std::vector<std::string> encoded;
    auto recording = [&](const std::string& text) {
        encoded.push_back(text);
        return std::vector<int>{};
    };
    EXPECT_FALSE(lastNaturalBoundary("a. b, c d", 1, recording).has_value());
    EXPECT_EQ(encoded, (Names{"a.", "a. b,", "a. b, c"}));
    encoded.clear();
    EXPECT_FALSE(lastNaturalBoundary("", 0, recording).has_value());
    EXPECT_TRUE(encoded.empty());
}

TEST(ResolveAbsolutePath, ExpandsTildeAndAnchorsRelativePaths) {
    const std::string home = (std::filesystem::temp_directory_path() / "resolve_home").string();
    const char* saved = std::getenv("HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("HOME", home.c_str(), 1);
    const std::string cwd = std::filesystem::current_path().string();
    EXPECT_EQ(resolveAbsolutePath("~/models"), home + "/models");
    EXPECT_EQ(resolveAbsolutePath("~"), home);
    EXPECT_EQ(resolveAbsolutePath("models"), cwd + "/models");
    EXPECT_EQ(resolveAbsolutePath("../a/./b"), cwd + "/../a/./b");
    EXPECT_EQ(resolveAbsolutePath("100% sure"), cwd + "/100% sure");
    EXPECT_EQ(resolveAbsolutePath("/abs/path"), "/abs/path");
    if (saved) ::setenv("HOME", previous.c_str(), 1); else ::unsetenv("HOME");
}

TEST(Rounded, RoundsHalvesAwayFromZeroInSinglePrecision) {
    const struct {
        float value;
        int places;
        float expected;
    } cases[] = {
        {1.005f, 0, 1.0f},  {-2.5f, 0, -3.0f},  {2.5f, 0, 3.0f},     {1.2345f, 2, 1.23f},
        {0.125f, 2, 0.13f}, {1234.5f, -2, 1200.0f}, {-0.4f, 0, -0.0f}, {7.0f, 3, 7.0f},
    };
    for (const auto& c : cases) EXPECT_EQ(rounded(c.value, c.places), c.expected) << c.value << " " << c.places;
}

TEST(ProcessInfoExtensions, ReadsKernelValuesOnceAndUnknownNamesAsEmpty) {
    EXPECT_EQ(ProcessInfo::stringFromSysctl("no.such.name"), "");
    EXPECT_EQ(ProcessInfo::threads(), platform::ProcessInfo::systemValue("machdep.cpu.thread_count"));
    EXPECT_EQ(&ProcessInfo::hwModel(), &ProcessInfo::hwModel());
    EXPECT_FALSE(ProcessInfo::cores().empty());
}

} // namespace
} // namespace celvan
