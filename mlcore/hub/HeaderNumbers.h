#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace celvan {

// Numbers a server sends are read strictly: nothing but decimal digits, and
// a value past the 64-bit range is no value rather than a wrapped one.

// A "Content-Length" or "X-Linked-Size".
std::optional<int64_t> parseByteCount(std::string_view text);

// A "Content-Range" answer: "bytes 100-199/200", or "bytes 100-199/*"
// without a total.
struct ContentRange {
    int64_t first = 0;
    int64_t last = 0;
    std::optional<int64_t> total;
};

// Nothing unless the whole header is well formed.
std::optional<ContentRange> parseContentRange(std::string_view text);

}  // namespace celvan
