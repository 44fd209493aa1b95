#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

// A 128-bit universally unique identifier.
class UUID {
public:
    using Bytes = std::array<uint8_t, 16>;

    // A new random (version 4) identifier.
    UUID();
    explicit UUID(const Bytes& bytes) noexcept : bytes_(bytes) {}

    const Bytes& uuid() const noexcept { return bytes_; }

    // Upper-case hexadecimal in the 8-4-4-4-12 grouping.
    std::string uuidString() const;

    friend bool operator==(const UUID&, const UUID&) = default;
    friend std::strong_ordering operator<=>(const UUID&, const UUID&) = default;

private:
    Bytes bytes_;
};

}  // namespace platform

template <>
struct std::hash<platform::UUID> {
    std::size_t operator()(const platform::UUID& id) const noexcept;
};
