#include "mlcore/hub/HeaderNumbers.h"

#include <charconv>

namespace celvan {

std::optional<int64_t> parseByteCount(std::string_view text) {
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<ContentRange> parseContentRange(std::string_view text) {
    constexpr std::string_view kUnit = "bytes ";
    if (!text.starts_with(kUnit)) return std::nullopt;
    text.remove_prefix(kUnit.size());
    const std::size_t dash = text.find('-');
    const std::size_t slash = text.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return std::nullopt;
    const auto first = parseByteCount(text.substr(0, dash));
    const auto last = parseByteCount(text.substr(dash + 1, slash - dash - 1));
    if (!first || !last || *last < *first) return std::nullopt;
    ContentRange range{*first, *last, std::nullopt};
    const std::string_view total = text.substr(slash + 1);
    if (total != "*") {
        range.total = parseByteCount(total);
        if (!range.total || *range.total <= *last) return std::nullopt;
    }
    return range;
}

}  // namespace celvan
