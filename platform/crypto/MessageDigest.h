#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// An incremental message digest: feed it any number of pieces, then finalize
// once. A copy carries on from the same point on its own.
class MessageDigest {
public:
    enum class Algorithm { sha1, sha256 };

    explicit MessageDigest(Algorithm algorithm);
    ~MessageDigest();
    MessageDigest(const MessageDigest& other);
    MessageDigest& operator=(const MessageDigest& other);
    MessageDigest(MessageDigest&&) noexcept;
    MessageDigest& operator=(MessageDigest&&) noexcept;

    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view text);
    // Streams the file through a fixed-size buffer, so memory stays flat for
    // files of any size. Throws std::filesystem::filesystem_error when the
    // file cannot be opened or read.
    void updateFromFile(const std::filesystem::path& path);
    // Ends the digest; later update() or finalize() calls throw.
    std::vector<std::uint8_t> finalize();

    // Two lower-case hexadecimal digits per byte.
    static std::string hexString(std::span<const std::uint8_t> bytes);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace platform
