#include "mlcore/tokenizers/TokenTable.h"

#include "mlcore/tokenizers/FlatIntegerMap.h"
#include "mlcore/tokenizers/TokenizerError.h"
#include "tests/support/TokenizerTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace celvan {
namespace {

using testing::configFromJson;

TEST(TokenTable, LooksUpBothWaysAsTheFileAndTheAddedTokensSay) {
    const TokenTable table = TokenTable::fromVocabulary(
        configFromJson(R"({"a": 0, "ab": 1, "not an id": "x", "half": 2.5, "é": 3, "": 4, "x\u0000y": 5})"),
        {{"ab", 42}, {"<|new|>", 7}});
    struct Case {
        std::string token;
        std::optional<int32_t> id;
    };
    const std::vector<Case> cases = {
        {"a", 0},       {"ab", 42},   {"é", 3},          {"", 4},
        {"<|new|>", 7}, {"abc", {}},  {"not an id", {}}, {"half", {}},
        {std::string("x\0y", 3), 5}, {"x", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(table.id(c.token), c.id) << c.token;
    EXPECT_EQ(table.token(42), "ab");
    EXPECT_EQ(table.token(1), std::nullopt) << "the id an added token took over names nothing";
    EXPECT_EQ(table.token(7), "<|new|>");
    EXPECT_EQ(table.token(-1), std::nullopt);
    EXPECT_EQ(table.token(int64_t{1} << 40), std::nullopt);
    EXPECT_EQ(table.size(), 6u);

    const TokenTable shared = TokenTable::fromVocabulary(configFromJson(R"({"x": 5})"), {{"y", 5}});
    EXPECT_EQ(shared.token(5), "y") << "of two texts with one id the added token names it";
    EXPECT_EQ(shared.id("x"), 5);
}

TEST(TokenTable, HoldsLargeAndSparseVocabularies) {
    std::string json = "{";
    constexpr int kCount = 20000;
    for (int i = 0; i < kCount; ++i) {
        if (i > 0) json += ",";
        // Ids far apart, as a hostile file could give them.
        json += "\"t" + std::to_string(i) + "\":" + std::to_string(i * 100000);
    }
    const TokenTable table = TokenTable::fromVocabulary(configFromJson(json + "}"), {});
    EXPECT_EQ(table.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; i += 997) {
        EXPECT_EQ(table.id("t" + std::to_string(i)), i * 100000);
        EXPECT_EQ(table.token(i * 100000), "t" + std::to_string(i));
        EXPECT_EQ(table.token(i * 100000 + 1), std::nullopt);
    }
    EXPECT_EQ(table.id("t" + std::to_string(kCount)), std::nullopt);

    std::vector<std::string> texts;
    for (int i = 0; i < 100; ++i) texts.push_back("t" + std::to_string(i * 250));
    texts.push_back("missing");
    const std::vector<std::string_view> views(texts.begin(), texts.end());
    std::vector<std::optional<int32_t>> found(views.size());
    table.ids(views, found);
    for (std::size_t k = 0; k < views.size(); ++k) EXPECT_EQ(found[k], table.id(views[k])) << views[k];
}

TEST(TokenTable, RejectsWhatNoTableCanHold) {
    EXPECT_THROW(TokenTable::fromVocabulary(configFromJson("[]"), {}), TokenizerError);
    EXPECT_THROW(TokenTable::fromVocabulary(configFromJson(R"({"a": -1})"), {}), TokenizerError);
    EXPECT_THROW(TokenTable::fromVocabulary(configFromJson(R"({"a": 4294967296})"), {}), TokenizerError);
    EXPECT_THROW(TokenTable::fromVocabulary(configFromJson("{}"), {{"a", -3}}), TokenizerError);
    EXPECT_EQ(TokenTable().id("a"), std::nullopt);
    EXPECT_EQ(TokenTable().token(0), std::nullopt);
}

TEST(FlatIntegerMap, KeepsTheLastValueOfEachKeyThroughGrowth) {
    FlatIntegerMap<int> map;
    EXPECT_EQ(map.find(1), nullptr);
    for (uint64_t key = 0; key < 5000; ++key) map.insertOrAssign(key << 32 | key, static_cast<int>(key));
    for (uint64_t key = 0; key < 5000; key += 2) map.insertOrAssign(key << 32 | key, -1);
    EXPECT_EQ(map.size(), 5000u);
    for (uint64_t key = 0; key < 5000; ++key) {
        const int* value = map.find(key << 32 | key);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(*value, key % 2 == 0 ? -1 : static_cast<int>(key));
    }
    EXPECT_EQ(map.find(5000ULL << 32 | 5000), nullptr);
}

} // namespace
} // namespace celvan
