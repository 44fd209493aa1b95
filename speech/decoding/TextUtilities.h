#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sonoscribe {

// How repetitive decoded output is: its size over its deflated size. Looping
// output compresses well and scores high.
struct TextUtilities {
    TextUtilities() = delete;

    // Infinity for an empty text.
    static float compressionRatio(const std::string& text);
    // Over the ids as 32-bit little-endian integers; 0 for an empty list,
    // which is no sign of a loop.
    static float compressionRatio(const std::vector<int64_t>& tokens);
};

}  // namespace sonoscribe
