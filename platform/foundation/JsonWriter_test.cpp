#include "platform/foundation/JsonWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/foundation/JsonReader.h"

namespace platform {
namespace {

std::string text(const JSONValue& value) {
    const auto bytes = jsonData(value);
    return std::string(bytes.begin(), bytes.end());
}

TEST(JsonWriter, WritesCompactTextInTheValuesOrder) {
    struct Case {
        JSONValue value;
        std::string expected;
    };
    const Case cases[] = {
        {JSONValue(), "null"},
        {JSONNumber::boolean(true), "true"},
        {JSONNumber::signedInteger(-5), "-5"},
        {JSONNumber::unsignedInteger(UINT64_MAX), "18446744073709551615"},
        {JSONNumber::singleFloat(0.1f), "0.1"},
        {JSONNumber::singleFloat(1e30f), "1e+30"},
        {JSONNumber::doubleFloat(0.1), "0.1"},
        {JSONNumber::doubleFloat(2.5), "2.5"},
        {JSONValue("a\"b\\c\n\x01/"), "\"a\\\"b\\\\c\\n\\u0001/\""},
        {JSONValue("\xEF\xBB\xBF\xC3\xA9"), "\"\xEF\xBB\xBF\xC3\xA9\""},
        {JSONValue(JSONValue::Array{}), "[]"},
        {JSONValue(JSONValue::Object{}), "{}"},
        {JSONValue(JSONValue::Object{{"z", JSONNumber::signedInteger(1)},
                                     {"a", JSONValue::Array{JSONValue(), "x"}}}),
         "{\"z\":1,\"a\":[null,\"x\"]}"},
    };
    for (const auto& c : cases) EXPECT_EQ(text(c.value), c.expected);
}

TEST(JsonWriter, RefusesValuesWithoutAJsonForm) {
    const JSONValue cases[] = {
        JSONNumber::singleFloat(std::numeric_limits<float>::quiet_NaN()),
        JSONNumber::doubleFloat(std::numeric_limits<double>::infinity()),
        JSONValue::Array{JSONNumber::singleFloat(-std::numeric_limits<float>::infinity())},
        JSONValue("\xFF"),
        JSONValue::Object{{"\xC3", JSONValue()}},
    };
    for (const auto& value : cases) EXPECT_THROW(jsonData(value), JSONWriteError);
}

TEST(JsonWriter, ReaderReadsBackWhatTheWriterWrote) {
    const JSONValue value = JSONValue::Object{
        {"vocab", JSONValue::Object{{"\xEF\xBB\xBFhi", JSONNumber::signedInteger(3)}}},
        {"merges", JSONValue::Array{"a b", JSONValue::Array{"c", "d"}}},
        {"flag", JSONNumber::boolean(false)},
        {"scale", JSONNumber::doubleFloat(-1.25e-7)},
        {"none", JSONValue()},
    };
    JSONValue back = jsonObject(jsonData(value));
    // Non-negative integers come back as unsigned, so compare the text.
    EXPECT_EQ(text(back), text(value));
}

}  // namespace
}  // namespace platform
