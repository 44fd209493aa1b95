#include "platform/text/Graphemes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace platform::text {
namespace {

struct ClusterCase {
    const char* name;
    std::string text;
    std::vector<std::string> clusters;
};

const ClusterCase kClusterCases[] = {
    {"empty", "", {}},
    {"ascii", "ab", {"a", "b"}},
    {"crlfIsOneCluster", "a\r\nb", {"a", "\r\n", "b"}},
    {"lfcrIsTwo", "\n\r", {"\n", "\r"}},
    {"combiningMarkJoinsBase", "e\xCC\x81x", {"e\xCC\x81", "x"}},
    {"hangulSyllableFromJamo", "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8"}},
    // Family emoji: man ZWJ woman ZWJ girl.
    {"zwjSequence", "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7",
     {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"}},
    // Three regional indicators: one flag pair, then a lone indicator.
    {"regionalIndicatorsPairUp", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA\xF0\x9F\x87\xAB",
     {"\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA", "\xF0\x9F\x87\xAB"}},
    {"prependJoinsFollowingAscii", "\xD8\x80" "1", {"\xD8\x80" "1"}},
    // An ill-formed byte counts as U+FFFD, which a combining mark extends.
    {"illFormedByteActsAsReplacement", "a\xFF\xCC\x81\xFF", {"a", "\xFF\xCC\x81", "\xFF"}},
};

class ClusterTest : public ::testing::TestWithParam<ClusterCase> {};

TEST_P(ClusterTest, SplitsCountsAndFindsLast) {
    const auto& c = GetParam();
    std::vector<std::string> clusters;
    for (auto cluster : graphemeClusters(c.text)) clusters.emplace_back(cluster);
    EXPECT_EQ(clusters, c.clusters);
    EXPECT_EQ(graphemeCount(c.text), c.clusters.size());
    EXPECT_EQ(std::string(lastGraphemeCluster(c.text)), c.clusters.empty() ? "" : c.clusters.back());
}

INSTANTIATE_TEST_SUITE_P(Graphemes, ClusterTest, ::testing::ValuesIn(kClusterCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Graphemes, LastClusterOfLongRegionalIndicatorRunFollowsParity) {
    const std::string indicator = "\xF0\x9F\x87\xA9";
    std::string odd;
    for (int i = 0; i < 41; ++i) odd += indicator;
    EXPECT_EQ(std::string(lastGraphemeCluster(odd)), indicator);
    EXPECT_EQ(std::string(lastGraphemeCluster(odd + indicator)), indicator + indicator);
    EXPECT_EQ(graphemeCount(odd), 21u);
}

TEST(Graphemes, CharactersCompareByCanonicalEquivalence) {
    const struct {
        std::string a, b;
        bool equal;
    } cases[] = {
        {"x", "x", true},
        {"x", "y", false},
        {"\xC3\xA9", "e\xCC\x81", true},                         // precomposed e-acute
        {"\xC3\xA9", "e", false},
        {"\xE1\xBB\x87", "e\xCC\xA3\xCC\x82", true},             // marks reordered canonically
        {"\xE2\x84\xAB", "\xC3\x85", true},                      // angstrom sign
        {"\xEF\xAC\x81", "fi", false},                           // compatibility only
    };
    for (const auto& c : cases) EXPECT_EQ(charactersEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
}

} // namespace
} // namespace platform::text
