#pragma once

#include <cstddef>

namespace platform {

// Mixes one more hash into a running one, so that values hashed field by
// field spread well.
constexpr std::size_t hashCombine(std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2));
}

}  // namespace platform
