#include "platform/foundation/JsonReader.h"

#include <gtest/gtest.h>

#include <string>

namespace platform {
namespace {

JSONValue fragment(std::string_view text) { return jsonObject(text, {.fragmentsAllowed = true}); }

TEST(JsonReader, NumbersRememberHowTheyWereWritten) {
    struct Case {
        std::string text;
        JSONNumber expected;
    };
    const Case cases[] = {
        {"true", JSONNumber::boolean(true)},
        {"false", JSONNumber::boolean(false)},
        {"0", JSONNumber::unsignedInteger(0)},
        {"-7", JSONNumber::signedInteger(-7)},
        {"9223372036854775807", JSONNumber::unsignedInteger(9223372036854775807ULL)},
        {"-9223372036854775808", JSONNumber::signedInteger(INT64_MIN)},
        {"18446744073709551615", JSONNumber::unsignedInteger(UINT64_MAX)},
        {"18446744073709551616", JSONNumber::doubleFloat(18446744073709551616.0)},
        {"2.0", JSONNumber::doubleFloat(2.0)},
        {"1e30", JSONNumber::doubleFloat(1e30)},
        {"-0.5", JSONNumber::doubleFloat(-0.5)},
    };
    for (const auto& c : cases) {
        JSONValue value = fragment(c.text);
        ASSERT_NE(value.number(), nullptr) << c.text;
        EXPECT_EQ(*value.number(), c.expected) << c.text;
    }
}

TEST(JsonReader, StringsKeepTheirBytesIncludingLeadingByteOrderMarks) {
    struct Case {
        std::string document;
        std::string expected;
    };
    const Case cases[] = {
        {"[\"\xEF\xBB\xBF" "a\"]", "\xEF\xBB\xBF" "a"},
        {"[\"\xEF\xBB\xBF\"]", "\xEF\xBB\xBF"},
        {"[\"\xEF\xBB\xBF\xEF\xBB\xBF\"]", "\xEF\xBB\xBF\xEF\xBB\xBF"},
        // An escaped quote followed by a mark must not disturb the mark.
        {"[\"a\\\"\xEF\xBB\xBF" "b\"]", "a\"\xEF\xBB\xBF" "b"},
        {"[\"\\ufeffx\"]", "\xEF\xBB\xBFx"},
        {"[\"\\u00e9\"]", "\xC3\xA9"},
        {"[\"\\ud83d\\ude00\"]", "\xF0\x9F\x98\x80"},
        {"[\"e\xCC\x81\"]", "e\xCC\x81"},
        {"[\"a\\u0000b\"]", std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        JSONValue value = jsonObject(c.document);
        ASSERT_NE(value.array(), nullptr) << c.document;
        ASSERT_NE((*value.array())[0].string(), nullptr) << c.document;
        EXPECT_EQ(*(*value.array())[0].string(), c.expected) << c.document;
    }
}

TEST(JsonReader, SkipsAByteOrderMarkAtTheStartOfTheDocument) {
    JSONValue value = jsonObject("\xEF\xBB\xBF{\"\xEF\xBB\xBFk\": \"\xEF\xBB\xBFv\"}");
    ASSERT_NE(value.object(), nullptr);
    ASSERT_EQ(value.object()->size(), 1u);
    EXPECT_EQ(value.object()->front().first, "\xEF\xBB\xBFk");
    EXPECT_EQ(*value.object()->front().second.string(), "\xEF\xBB\xBFv");
}

TEST(JsonReader, ObjectsKeepDocumentOrderAndRepeatedKeys) {
    JSONValue value = jsonObject(R"({"b": 1, "a": [null, {}], "b": "x"})");
    const auto& members = *value.object();
    ASSERT_EQ(members.size(), 3u);
    EXPECT_EQ(members[0].first, "b");
    EXPECT_EQ(members[1].first, "a");
    EXPECT_TRUE((*members[1].second.array())[0].isNull());
    EXPECT_EQ((*members[1].second.array())[1].object()->size(), 0u);
    EXPECT_EQ(*members[2].second.string(), "x");
}

TEST(JsonReader, RejectsMalformedTruncatedAndHostileInput) {
    const std::string cases[] = {
        "",
        "   ",
        "{",
        "{\"a\": 1",
        "[1,]",
        "{\"a\" 1}",
        "{'a': 1}",
        "[1] [2]",
        "[tru]",
        "[\"unterminated]",
        "[\"\xFF\"]",
        "[\"\xC3\"]",
        "[\"\\ud800\"]",
        "[\"\\x\"]",
        "[1e400]",
        "[01]",
        "[NaN]",
        "\xEF\xBB",
        "\xEF\xBB\xBF",
        "[1] // comment",
        std::string(kJSONMaximumNesting + 1, '[') + std::string(kJSONMaximumNesting + 1, ']'),
    };
    for (const auto& text : cases) {
        EXPECT_THROW(jsonObject(text, {.fragmentsAllowed = true}), JSONReadError) << text;
    }
}

TEST(JsonReader, AcceptsNestingUpToTheLimit) {
    const std::string deep =
        std::string(kJSONMaximumNesting, '[') + std::string(kJSONMaximumNesting, ']');
    EXPECT_NO_THROW(jsonObject(deep));
}

TEST(JsonReader, TopLevelScalarsNeedFragmentsAllowed) {
    for (std::string text : {"3", "\"a\"", "null", "true"}) {
        EXPECT_THROW(jsonObject(text), JSONReadError) << text;
        EXPECT_NO_THROW(fragment(text)) << text;
    }
}

TEST(JsonReader, ReadsByteVectors) {
    const std::string text = "{\"k\": [1]}";
    JSONValue value = jsonObject(std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(value.object()->front().first, "k");
}

}  // namespace
}  // namespace platform
