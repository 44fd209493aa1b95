#include "platform/crypto/SHA256.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t kFileBufferSize = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

}  // namespace

struct SHA256::Context {
    EVP_MD_CTX* md = nullptr;

    Context() : md(EVP_MD_CTX_new()) {
        if (md == nullptr || EVP_DigestInit_ex(md, EVP_sha256(), nullptr) != 1) {
            EVP_MD_CTX_free(md);
            throw std::runtime_error("SHA-256 is not available");
        }
    }
    ~Context() { EVP_MD_CTX_free(md); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

std::string SHA256Digest::hexString() const {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

SHA256::SHA256() : context_(std::make_unique<Context>()) {}
SHA256::~SHA256() = default;
SHA256::SHA256(const SHA256& other) {
    if (!other.context_) return;
    context_ = std::make_unique<Context>();
    if (EVP_MD_CTX_copy_ex(context_->md, other.context_->md) != 1) throw std::runtime_error("SHA-256 copy failed");
}

SHA256& SHA256::operator=(const SHA256& other) {
    if (this != &other) *this = SHA256(other);
    return *this;
}

SHA256::SHA256(SHA256&&) noexcept = default;
SHA256& SHA256::operator=(SHA256&&) noexcept = default;

void SHA256::update(std::span<const std::uint8_t> bytes) {
    if (!context_) {
        throw std::logic_error("SHA256 used after finalize()");
    }
    if (!bytes.empty() && EVP_DigestUpdate(context_->md, bytes.data(), bytes.size()) != 1) {
        throw std::runtime_error("SHA-256 update failed");
    }
}

void SHA256::update(std::string_view text) {
    update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

SHA256Digest SHA256::finalize() {
    if (!context_) {
        throw std::logic_error("SHA256 used after finalize()");
    }
    SHA256Digest digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->md, digest.bytes.data(), &length) != 1 || length != digest.bytes.size()) {
        throw std::runtime_error("SHA-256 finalize failed");
    }
    context_.reset();
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
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw std::filesystem::filesystem_error("cannot open file for hashing", path,
                                                std::error_code(errno, std::generic_category()));
    }
    SHA256 hasher;
    std::vector<std::uint8_t> buffer(kFileBufferSize);
    for (;;) {
        std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
        hasher.update(std::span(buffer.data(), count));
        if (count < buffer.size()) {
            if (std::ferror(file.get())) {
                throw std::filesystem::filesystem_error("cannot read file for hashing", path,
                                                        std::error_code(EIO, std::generic_category()));
            }
            break;
        }
    }
    return hasher.finalize();
}

}  // namespace platform
