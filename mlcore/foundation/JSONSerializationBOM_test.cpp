#include "mlcore/foundation/JSONSerializationBOM.h"

#include <gtest/gtest.h>

#include <string>

#include "mlcore/foundation/Config.h"

namespace celvan {
namespace {

const std::string kMark = "\xEF\xBB\xBF";

TEST(BomPreservingJsonObject, StringValuesKeepTheirLeadingMarks) {
    struct Case {
        std::string value;  // as written between the quotes
        std::string expected;
    };
    const Case cases[] = {
        {kMark + "a", kMark + "a"},
        {kMark, kMark},
        {kMark + kMark, kMark + kMark},
        {kMark + kMark + kMark + "x", kMark + kMark + kMark + "x"},
        {"a" + kMark, "a" + kMark},
        {"\\\"" + kMark + "b", "\"" + kMark + "b"},
        {"\\\\" + kMark, "\\" + kMark},
        {"\\ufeff", kMark},
    };
    for (const auto& c : cases) {
        const std::string document = "{\"v\": \"" + c.value + "\", \"" + c.value + "\": 1}";
        const Config config = Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(document));
        EXPECT_EQ(config["v"].string(), c.expected) << c.value;
        EXPECT_EQ(config[BinaryDistinctString(c.expected)].integer(), 1) << c.value;
    }
}

TEST(BomPreservingJsonObject, SkipsAMarkBeforeTheDocument) {
    const std::string document = kMark + "{\"" + kMark + "\": \"" + kMark + "\"}";
    const std::vector<uint8_t> bytes(document.begin(), document.end());
    const Config config = Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(bytes));
    EXPECT_EQ(config[BinaryDistinctString(kMark)].string(), kMark);
}

TEST(BomPreservingJsonObject, MalformedInputRaisesTheReadersError) {
    const std::string cases[] = {"", kMark, "\"" + kMark, "{\"a\": \"" + kMark.substr(0, 2)};
    for (const auto& document : cases) {
        EXPECT_THROW(bomPreservingJsonObject(document), platform::JSONReadError) << document;
    }
}

}  // namespace
}  // namespace celvan
