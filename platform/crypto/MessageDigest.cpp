#include "platform/crypto/MessageDigest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace platform {

namespace {

constexpr std::size_t kFileBufferSize = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};

const EVP_MD* algorithmFor(MessageDigest::Algorithm algorithm) {
    return algorithm == MessageDigest::Algorithm::sha1 ? EVP_sha1() : EVP_sha256();
}

}  // namespace

struct MessageDigest::Context {
    EVP_MD_CTX* md = EVP_MD_CTX_new();

    Context() {
        if (md == nullptr) throw std::runtime_error("message digests are not available");
    }
    ~Context() { EVP_MD_CTX_free(md); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
};

MessageDigest::MessageDigest(Algorithm algorithm) : context_(std::make_unique<Context>()) {
    if (EVP_DigestInit_ex(context_->md, algorithmFor(algorithm), nullptr) != 1) {
        throw std::runtime_error("the message digest is not available");
    }
}

MessageDigest::~MessageDigest() = default;

MessageDigest::MessageDigest(const MessageDigest& other) {
    if (!other.context_) return;
    context_ = std::make_unique<Context>();
    if (EVP_MD_CTX_copy_ex(context_->md, other.context_->md) != 1) throw std::runtime_error("digest copy failed");
}

MessageDigest& MessageDigest::operator=(const MessageDigest& other) {
    if (this != &other) *this = MessageDigest(other);
    return *this;
}

MessageDigest::MessageDigest(MessageDigest&&) noexcept = default;
MessageDigest& MessageDigest::operator=(MessageDigest&&) noexcept = default;

void MessageDigest::update(std::span<const std::uint8_t> bytes) {
    if (!context_) throw std::logic_error("digest used after finalize()");
    if (!bytes.empty() && EVP_DigestUpdate(context_->md, bytes.data(), bytes.size()) != 1) {
        throw std::runtime_error("digest update failed");
    }
}

void MessageDigest::update(std::string_view text) {
    update(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void MessageDigest::updateFromFile(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw std::filesystem::filesystem_error("cannot open file for hashing", path,
                                                std::error_code(errno, std::generic_category()));
    }
    std::vector<std::uint8_t> buffer(kFileBufferSize);
    for (;;) {
        const std::size_t count = std::fread(buffer.data(), 1, buffer.size(), file.get());
        update(std::span(buffer.data(), count));
        if (count == buffer.size()) continue;
        if (std::ferror(file.get())) {
            throw std::filesystem::filesystem_error("cannot read file for hashing", path,
                                                    std::error_code(EIO, std::generic_category()));
        }
        return;
    }
}

std::vector<std::uint8_t> MessageDigest::finalize() {
    if (!context_) throw std::logic_error("digest used after finalize()");
    std::vector<std::uint8_t> digest(static_cast<std::size_t>(EVP_MD_CTX_get_size(context_->md)));
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_->md, digest.data(), &length) != 1 || length != digest.size()) {
        throw std::runtime_error("digest finalize failed");
    }
    context_.reset();
    return digest;
}

std::string MessageDigest::hexString(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t byte : bytes) {
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0x0f]);
    }
    return text;
}

}  // namespace platform
