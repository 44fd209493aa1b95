#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace testsupport {

// Whether the session bus this process talks to is the test run's private
// one: the bus that scripts/services started and named in
// DICTARO_TEST_SESSION_BUS. The keys the tests store and delete live under
// the application's own service name, so run by hand in a desktop session
// they would replace or delete the user's real API keys. Every test that
// reaches the secret store asserts this before it does anything else.
inline ::testing::AssertionResult onPrivateSessionBus() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* privateBus = std::getenv("DICTARO_TEST_SESSION_BUS");
    if (bus && *bus && privateBus && *privateBus && std::string(bus) == privateBus) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "refusing to touch the secret store: the session bus (DBUS_SESSION_BUS_ADDRESS="
           << (bus ? bus : "unset") << ") is not the test run's private one (DICTARO_TEST_SESSION_BUS="
           << (privateBus ? privateBus : "unset")
           << "), so its keyring may hold the user's real keys. Run this test under scripts/with-services or "
              "scripts/test, which start a private bus and keyring. Nothing was read, stored or deleted.";
}

}  // namespace testsupport
