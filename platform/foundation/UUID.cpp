#include "platform/foundation/UUID.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace platform {

UUID::UUID() : bytes_{} {
    std::size_t filled = 0;
    while (filled < bytes_.size()) {
        const ssize_t got = ::getrandom(bytes_.data() + filled, bytes_.size() - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    bytes_[6] = static_cast<uint8_t>((bytes_[6] & 0x0F) | 0x40);
    bytes_[8] = static_cast<uint8_t>((bytes_[8] & 0x3F) | 0x80);
}

std::string UUID::uuidString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(digits[bytes_[i] >> 4]);
        text.push_back(digits[bytes_[i] & 0x0F]);
    }
    return text;
}

}  // namespace platform

std::size_t std::hash<platform::UUID>::operator()(const platform::UUID& id) const noexcept {
    // The bytes are random already; folding them is as good as any mix.
    uint64_t high;
    uint64_t low;
    std::memcpy(&high, id.uuid().data(), sizeof high);
    std::memcpy(&low, id.uuid().data() + sizeof high, sizeof low);
    return static_cast<std::size_t>(high ^ (low * 0x9E3779B97F4A7C15ULL));
}
