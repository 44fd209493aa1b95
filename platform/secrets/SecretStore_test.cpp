#include "platform/secrets/SecretStore.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/PrivateSessionBus.h"

namespace platform {
namespace {

constexpr const char* kService = "dictaro.test.secret-store";

// Each test keeps to accounts of its own: the tests of this binary may run
// at the same time against one keyring.
std::string account(const char* name) {
    return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" + name;
}

TEST(SecretStore, SavesReadsReplacesInPlaceAndRemoves) {
    ASSERT_TRUE(testsupport::onPrivateSessionBus());
    const std::string first = account("first");
    const std::string second = account("second");
    EXPECT_EQ(SecretStore::password(kService, first), std::nullopt);

    SecretStore::store(kService, first, "label", "sk-one");
    SecretStore::store(kService, second, "label", "sk-other \xE2\x9C\x93");
    EXPECT_EQ(SecretStore::password(kService, first), "sk-one");
    EXPECT_EQ(SecretStore::password(kService, second), "sk-other \xE2\x9C\x93");
    EXPECT_EQ(SecretStore::password("another.service", first), std::nullopt);

    SecretStore::store(kService, first, "label", "sk-two");
    EXPECT_EQ(SecretStore::password(kService, first), "sk-two");

    EXPECT_TRUE(SecretStore::remove(kService, first));
    EXPECT_EQ(SecretStore::password(kService, first), std::nullopt);
    EXPECT_EQ(SecretStore::password(kService, second), "sk-other \xE2\x9C\x93");
    EXPECT_FALSE(SecretStore::remove(kService, first));
    EXPECT_TRUE(SecretStore::remove(kService, second));
}

TEST(SecretStoreDeathTest, FailsLoudlyWithoutASecretService) {
    ASSERT_TRUE(testsupport::onPrivateSessionBus());
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/dictaro-bus", 1);
            int failures = 0;
            try {
                SecretStore::store(kService, "a", "label", "secret");
            } catch (const SecretStoreError&) {
                ++failures;
            }
            try {
                SecretStore::password(kService, "a");
            } catch (const SecretStoreError&) {
                ++failures;
            }
            std::_Exit(failures);
        },
        ::testing::ExitedWithCode(2), "");
}

}  // namespace
}  // namespace platform
