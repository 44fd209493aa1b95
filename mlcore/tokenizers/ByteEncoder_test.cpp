#include "mlcore/tokenizers/ByteEncoder.h"

#include "platform/text/Utf.h"

#include <gtest/gtest.h>

#include <set>

namespace celvan {
namespace {

TEST(ByteEncoder, MapsEveryByteToOneDistinctPrintableCharacterAndBack) {
    const auto& encoder = byteEncoder();
    std::set<std::string> characters;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const auto scalars = platform::text::toScalars(encoder[byte]);
        ASSERT_EQ(scalars.size(), 1u) << byte;
        characters.insert(encoder[byte]);
        EXPECT_EQ(byteDecoder().at(encoder[byte]), byte);
        EXPECT_EQ(decodedByte(scalars[0]), byte);
    }
    EXPECT_EQ(characters.size(), 256u);
    EXPECT_EQ(byteDecoder().size(), 256u);
}

TEST(ByteEncoder, FollowsTheGpt2Table) {
    struct Case {
        unsigned byte;
        std::string character;
    };
    const Case cases[] = {
        {0x00, "\u0100"}, {0x20, "\u0120"}, {0x0A, "\u010A"}, {0x21, "!"}, {0x7E, "~"},
        {0x7F, "\u0121"}, {0xA0, "\u0142"}, {0xAD, "\u0143"}, {0xA1, "\u00A1"}, {0xFF, "\u00FF"},
    };
    for (const auto& c : cases) EXPECT_EQ(byteEncoder()[c.byte], c.character) << c.byte;
    EXPECT_FALSE(decodedByte(U' ').has_value());
    EXPECT_FALSE(decodedByte(U'\u0144').has_value());
    EXPECT_FALSE(decodedByte(U'\u00AD').has_value());
}

} // namespace
} // namespace celvan
