#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace platform {

// A failure of the desktop's secret store: no store on the session bus, a
// locked collection, a refused request. what() is the store's own message.
class SecretStoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Passwords in the desktop's Secret Service, one per (service, account)
// pair, kept in the default collection.
struct SecretStore {
    SecretStore() = delete;

    // None when no such item exists. Throws SecretStoreError, also for a
    // secret that is not UTF-8 text.
    static std::optional<std::string> password(const std::string& service, const std::string& account);
    // Replaces the item's secret in place when the item exists, so a failed
    // store leaves the old secret as it was. Throws SecretStoreError.
    static void store(const std::string& service, const std::string& account, const std::string& label,
                      const std::string& secret);
    // Whether an item was there to remove. Throws SecretStoreError.
    static bool remove(const std::string& service, const std::string& account);
};

}  // namespace platform
