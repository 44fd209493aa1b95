#include "platform/text/CaseMapping.h"

#include <gtest/gtest.h>

namespace platform::text {
namespace {

TEST(CaseMapping, LowercasesEachScalarWithoutContext) {
    const struct {
        std::string input, expected;
    } cases[] = {
        {"", ""},
        {"Hello WORLD 123", "hello world 123"},
        {"\xC3\x89T\xC3\x89", "\xC3\xA9t\xC3\xA9"},                    // ÉTÉ
        {"\xC4\xB0", "i\xCC\x87"},                                      // İ expands to two scalars
        {"\xCE\x9F\xCE\xA3", "\xCE\xBF\xCF\x83"},                      // final Σ stays σ
        {"\xE1\xBE\x88", "\xE1\xBE\x80"},                              // titlecase ᾈ
        {"\xF0\x90\x90\x80", "\xF0\x90\x90\xA8"},                      // Deseret, outside the BMP
        {"\xE1\xBA\x9E", "\xC3\x9F"},                                   // capital sharp s
        {"a\xFF" "B", "a\xEF\xBF\xBD" "b"},                             // repaired, not dropped
    };
    for (const auto& c : cases) EXPECT_EQ(lowercased(c.input), c.expected) << c.input;
    EXPECT_EQ(lowercaseMapping(U'K'), "k");
    EXPECT_EQ(lowercaseMapping(0x212A), "k");  // Kelvin sign
}

} // namespace
} // namespace platform::text
