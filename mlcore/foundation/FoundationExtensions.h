#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace celvan {

// The names that match the shell pattern (fnmatch without flags, so "*"
// also matches "/" and a leading "."), in their order.
std::vector<std::string> matching(const std::vector<std::string>& names, const std::string& glob);

// Consecutive chunks of `size` elements, the last one shorter; no chunks for
// an empty array or a size below 1.
template <typename T>
std::vector<std::vector<T>> batched(const std::vector<T>& values, std::ptrdiff_t size) {
    std::vector<std::vector<T>> chunks;
    if (size < 1) return chunks;
    const auto step = static_cast<std::size_t>(size);
    for (std::size_t start = 0; start < values.size(); start += step) {
        const std::size_t end = values.size() - start > step ? start + step : values.size();
        chunks.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(start),
                            values.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return chunks;
}

// The elements without repeats, first occurrences kept in order.
template <typename T>
std::vector<T> orderedSet(const std::vector<T>& values) {
    std::unordered_set<T> seen;
    std::vector<T> result;
    for (const T& value : values) {
        if (seen.insert(value).second) result.push_back(value);
    }
    return result;
}

// Removes up to `upto` trailing copies of `character` (one grapheme
// cluster, compared by canonical equivalence).
std::string trimmingFromEnd(std::string_view text, std::string_view character, int upto);

// A trimmed prefix that ends at the last sentence break, else the last
// clause break, else before the last space, and that encodes to at least
// `minTokenCount` tokens.
std::optional<std::string> lastNaturalBoundary(std::string_view text, int minTokenCount,
                                               const std::function<std::vector<int>(const std::string&)>& encode);

// Expands a leading "~" and makes a relative path absolute against the
// current directory, without resolving "." or "..".
std::string resolveAbsolutePath(std::string_view path);

// Rounded to `places` decimals (tens and up for negative places), halves
// away from zero, all in single precision.
float rounded(float value, int places);

// Processor and machine descriptions, each read once per process.
struct ProcessInfo {
    // The value of a kernel variable as text; empty when it is unknown.
    static std::string stringFromSysctl(std::string_view name);

    static const std::string& processor();
    static const std::string& cores();
    static const std::string& threads();
    static const std::string& vendor();
    static const std::string& family();
    static const std::string& hwModel();
};

} // namespace celvan
