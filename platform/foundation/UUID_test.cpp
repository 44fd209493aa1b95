#include "platform/foundation/UUID.h"

#include <gtest/gtest.h>

#include <regex>
#include <unordered_set>

namespace platform {
namespace {

TEST(UUID, NewIdentifiersAreDistinctVersionFourValues) {
    const std::regex shape("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        UUID id;
        EXPECT_TRUE(std::regex_match(id.uuidString(), shape)) << id.uuidString();
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(UUID, TextAndOrderFollowTheBytes) {
    const UUID low(UUID::Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD,
                               0xEE, 0xFF});
    UUID::Bytes bytes = low.uuid();
    bytes[15] = 0xFE;
    const UUID lower(bytes);
    EXPECT_EQ(low.uuidString(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_LT(lower, low);
    EXPECT_EQ(low, UUID(low.uuid()));
}

}  // namespace
}  // namespace platform
