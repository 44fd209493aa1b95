#include "app/formatting/KeychainHelper.h"

#include "platform/secrets/SecretStore.h"

namespace dictaro {

std::optional<std::string> KeychainHelper::get(const std::string& account) {
    try {
        return platform::SecretStore::password(kService, account);
    } catch (const platform::SecretStoreError&) {
        return std::nullopt;
    }
}

bool KeychainHelper::set(const std::string& value, const std::string& account) {
    try {
        platform::SecretStore::store(kService, account, "Dictaro " + account, value);
        return true;
    } catch (const platform::SecretStoreError&) {
        return false;
    }
}

bool KeychainHelper::remove(const std::string& account) {
    try {
        platform::SecretStore::remove(kService, account);
        return true;
    } catch (const platform::SecretStoreError&) {
        return false;
    }
}

}  // namespace dictaro
