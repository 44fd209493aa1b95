#include "platform/foundation/JsonValue.h"

#include <cmath>
#include <limits>

namespace platform {
namespace {

// Out-of-range float-to-integer casts are undefined in C++, so clamp first.
template <class Integer>
Integer saturate(double value) {
    if (std::isnan(value)) return 0;
    constexpr double lowest = static_cast<double>(std::numeric_limits<Integer>::lowest());
    // 2^63 and 2^64 are exact doubles; anything at or above them does not fit.
    constexpr double limit = static_cast<double>(std::numeric_limits<Integer>::max()) + 1.0;
    if (value <= lowest) return std::numeric_limits<Integer>::lowest();
    if (value >= limit) return std::numeric_limits<Integer>::max();
    return static_cast<Integer>(value);
}

}  // namespace

bool JSONNumber::boolValue() const noexcept {
    return std::visit([](auto v) { return v != 0; }, value_);
}

int64_t JSONNumber::int64Value() const noexcept {
    return std::visit(
        [](auto v) -> int64_t {
            using T = decltype(v);
            if constexpr (std::is_floating_point_v<T>) {
                return saturate<int64_t>(v);
            } else {
                return static_cast<int64_t>(v);
            }
        },
        value_);
}

uint64_t JSONNumber::uint64Value() const noexcept {
    return std::visit(
        [](auto v) -> uint64_t {
            using T = decltype(v);
            if constexpr (std::is_floating_point_v<T>) {
                return saturate<uint64_t>(v);
            } else {
                return static_cast<uint64_t>(v);
            }
        },
        value_);
}

double JSONNumber::doubleValue() const noexcept {
    return std::visit([](auto v) { return static_cast<double>(v); }, value_);
}

}  // namespace platform
