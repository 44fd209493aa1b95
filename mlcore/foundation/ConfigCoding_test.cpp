#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "mlcore/foundation/Config.h"
#include "platform/foundation/JsonReader.h"
#include "platform/foundation/JsonWriter.h"

namespace celvan {
namespace {

using Kind = Config::Data::Kind;

Config converted(std::string_view json) {
    return Config::convertToBinaryDistinctKeys(platform::jsonObject(json));
}

Config decoded(std::string_view json) {
    return Config::decode(platform::jsonObject(json, {.fragmentsAllowed = true}));
}

std::string encoded(const Config& config) {
    const auto bytes = platform::jsonData(config.encode());
    return std::string(bytes.begin(), bytes.end());
}

struct NumberCase {
    const char* json;
    Kind kind;
    double value;
};

TEST(ConfigConversion, MapsParsedNumbersToIntegersOrFloats) {
    const NumberCase cases[] = {
        {"1", Kind::integer, 1},
        {"-3", Kind::integer, -3},
        {"3.0", Kind::integer, 3},
        {"-0.0", Kind::integer, 0},
        {"2e3", Kind::integer, 2000},
        {"true", Kind::integer, 1},
        {"false", Kind::integer, 0},
        {"9223372036854775807", Kind::integer, 9223372036854775807.0},
        {"-9223372036854775808", Kind::integer, -9223372036854775808.0},
        {"0.1", Kind::floating, 0.1f},
        {"2.5", Kind::floating, 2.5},
        // Beyond the signed 64-bit range: a float, never an error or a wrap.
        {"9223372036854775808", Kind::floating, 9223372036854775808.0f},
        {"18446744073709551615", Kind::floating, 18446744073709551615.0f},
        {"1e30", Kind::floating, 1e30f},
        {"1000000000000000019884624838656", Kind::floating, 1e30f},
        {"-1e19", Kind::floating, -1e19f},
    };
    for (const auto& c : cases) {
        const Config value = converted(std::string("{\"n\": ") + c.json + "}")["n"];
        ASSERT_EQ(value.value().kind(), c.kind) << c.json;
        if (c.kind == Kind::integer) {
            EXPECT_EQ(static_cast<double>(*value.integer()), c.value) << c.json;
        } else {
            EXPECT_EQ(*value.floating(), static_cast<float>(c.value)) << c.json;
        }
    }
}

TEST(ConfigConversion, RebuildsTheWholeTree) {
    const Config config = converted(R"({"a": [1, 2.5, "x", null, true], "b": {"c": {}}, "d": []})");
    const Config::Array& a = *config["a"].array();
    ASSERT_EQ(a.size(), 5u);
    EXPECT_EQ(a[0].integer(), 1);
    EXPECT_EQ(a[1].floating(), 2.5f);
    EXPECT_EQ(a[2].string(), "x");
    EXPECT_EQ(a[3].value().kind(), Kind::null);
    EXPECT_EQ(a[4].value().kind(), Kind::integer);
    EXPECT_EQ(a[4].integer(), 1);
    EXPECT_EQ(config["b"]["c"].dictionary()->size(), 0u);
    EXPECT_EQ(config["d"].array()->size(), 0u);
}

TEST(ConfigConversion, KeysBecomeExactCodeUnits) {
    const Config config = converted(
        "{\"\xC3\xA9\": 1, \"e\xCC\x81\": 2, \"\xEF\xBB\xBFk\": 3, \"a\": 4, \"a\": 5}");
    EXPECT_EQ(config.dictionary()->size(), 4u);
    EXPECT_EQ(config[BinaryDistinctString(u"\u00E9")].integer(), 1);
    EXPECT_EQ(config[BinaryDistinctString(u"e\u0301")].integer(), 2);
    EXPECT_EQ(config[BinaryDistinctString(u"\uFEFFk")].integer(), 3);
    // A repeated key keeps its later value.
    EXPECT_EQ(config["a"].integer(), 5);
}

TEST(ConfigDecoding, KeepsBooleansAndRecognisesTokens) {
    struct Case {
        const char* json;
        Config expected;
        Kind kind;
    };
    const Case cases[] = {
        {"true", true, Kind::boolean},
        {"false", false, Kind::boolean},
        {"null", Config(), Kind::null},
        {"7", 7, Kind::integer},
        {"2.0", 2, Kind::integer},
        {"0.5", 0.5f, Kind::floating},
        {"1e30", 1e30f, Kind::floating},
        {"\"s\"", "s", Kind::string},
        {"[7, \"a\"]", Config(Config::Token{7, "a"}), Kind::token},
        {"[-7, \"a\"]", Config::arrayLiteral({-7, "a"}), Kind::array},
        {"[\"a\", 7]", Config::arrayLiteral({"a", 7}), Kind::array},
        {"[7, \"a\", 1]", Config::arrayLiteral({7, "a", 1}), Kind::array},
        {"[true, \"a\"]", Config::arrayLiteral({true, "a"}), Kind::array},
        {"[7.5, \"a\"]", Config::arrayLiteral({7.5f, "a"}), Kind::array},
        {"[]", Config::arrayLiteral({}), Kind::array},
    };
    for (const auto& c : cases) {
        const Config value = decoded(c.json);
        EXPECT_EQ(value.value().kind(), c.kind) << c.json;
        EXPECT_EQ(value, c.expected) << c.json;
    }
    const Config nested = decoded(R"({"special": [3, "<s>"], "a": {"b": false}})");
    EXPECT_EQ(nested["special"].token(), (std::pair<uint64_t, std::string>{3, "<s>"}));
    EXPECT_EQ(nested["a"]["b"].value().kind(), Kind::boolean);
}

TEST(ConfigEncoding, WritesEachCase) {
    struct Case {
        Config value;
        std::string expected;
    };
    const Case cases[] = {
        {Config(Config::Token{7, "a"}), "[7,\"a\"]"},
        {Config(), "null"},
        {true, "true"},
        {-3, "-3"},
        {0.1f, "0.1"},
        {"\xEF\xBB\xBFq\"", "\"\xEF\xBB\xBFq\\\"\""},
        {Config::arrayLiteral({1, Config::arrayLiteral({})}), "[1,[]]"},
        {Config::dictionaryLiteral({{"k", Config::dictionaryLiteral({})}}), "{\"k\":{}}"},
    };
    for (const auto& c : cases) EXPECT_EQ(encoded(c.value), c.expected);
}

TEST(ConfigEncoding, DecodingWhatWasEncodedGivesTheSameValue) {
    const Config original = Config::dictionaryLiteral({
        {"name", "\xC3\xA9t\xC3\xA9"},
        {"count", 12},
        {"enabled", false},
        {"scale", 0.125f},
        {"special", Config(Config::Token{2, "</s>"})},
        {"list", Config::arrayLiteral({"a", Config(), 1.5f})},
        {"nested", Config::dictionaryLiteral({{"x", Config::arrayLiteral({})}})},
    });
    const Config back = decoded(encoded(original));
    EXPECT_EQ(back, original);
    EXPECT_EQ(back["enabled"].value().kind(), Kind::boolean);
    EXPECT_EQ(back["special"].value().kind(), Kind::token);
}

TEST(ConfigEncoding, PassesOnTheWritersRefusalOfNonFiniteFloats) {
    const Config values[] = {
        Config(std::numeric_limits<float>::quiet_NaN()),
        Config::arrayLiteral({std::numeric_limits<float>::infinity()}),
    };
    for (const auto& value : values) {
        EXPECT_THROW(platform::jsonData(value.encode()), platform::JSONWriteError);
    }
}

}  // namespace
}  // namespace celvan
