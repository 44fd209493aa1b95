#include "platform/crypto/SHA256.h"

#include <algorithm>

namespace platform {

std::string SHA256Digest::hexString() const { return MessageDigest::hexString(bytes); }

void SHA256::update(std::span<const std::uint8_t> bytes) { digest_.update(bytes); }

void SHA256::update(std::string_view text) { digest_.update(text); }

SHA256Digest SHA256::finalize() {
    const std::vector<std::uint8_t> bytes = digest_.finalize();
    SHA256Digest digest;
    std::copy_n(bytes.begin(), digest.bytes.size(), digest.bytes.begin());
    return digest;
}

SHA256Digest SHA256::hash(std::span<const std::uint8_t> bytes) {
    SHA256 hasher;
    hasher.update(bytes);
    return hasher.finalize();
}

SHA256Digest SHA256::hash(std::string_view text) {
    SHA256 hasher;
    hasher.update(text);
    return hasher.finalize();
}

SHA256Digest SHA256::hashFile(const std::filesystem::path& path) {
    SHA256 hasher;
    hasher.digest_.updateFromFile(path);
    return hasher.finalize();
}

}  // namespace platform
