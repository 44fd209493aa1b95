#pragma once

#include <optional>
#include <string>

namespace dictaro {

// API keys in the desktop's secret store, under the application's service.
struct KeychainHelper {
    KeychainHelper() = delete;

    static constexpr const char* kService = "com.pelmaroven.dictaro";

    // None when there is no key or the store cannot be read.
    static std::optional<std::string> get(const std::string& account);
    // Stores in place: when this fails, the key stored before is still there.
    static bool set(const std::string& value, const std::string& account);
    // Removing a key that is not there counts as success.
    static bool remove(const std::string& account);
};

}  // namespace dictaro
