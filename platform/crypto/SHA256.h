#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/crypto/MessageDigest.h"

namespace platform {

struct SHA256Digest {
    std::array<std::uint8_t, 32> bytes{};

    // 64 lower-case hexadecimal digits.
    std::string hexString() const;
    bool operator==(const SHA256Digest&) const = default;
};

// An incremental SHA-256: feed it any number of pieces, then finalize once.
// A copy carries on from the same point on its own.
class SHA256 {
public:
    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view text);
    // Ends the hasher; later update() or finalize() calls throw.
    SHA256Digest finalize();

    static SHA256Digest hash(std::span<const std::uint8_t> bytes);
    static SHA256Digest hash(std::string_view text);
    // Streams the file through a fixed-size buffer, so memory stays flat for
    // files of any size. Throws std::filesystem::filesystem_error when the file
    // cannot be opened or read.
    static SHA256Digest hashFile(const std::filesystem::path& path);

private:
    MessageDigest digest_{MessageDigest::Algorithm::sha256};
};

}  // namespace platform
