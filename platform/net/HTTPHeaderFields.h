#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Header fields in the order they were set. Names compare case-insensitively,
// as HTTP defines them, but keep the spelling they were given so that a
// request goes out exactly as its author wrote it.
class HTTPHeaderFields {
public:
    using Field = std::pair<std::string, std::string>;

    std::optional<std::string> value(std::string_view name) const;
    // Replaces every field of that name; the first one keeps its position.
    void setValue(std::string_view name, std::string value);
    // Joins a repeated field onto the existing value with ", ", as a
    // response's header dictionary does.
    void addValue(std::string_view name, std::string_view value);
    void remove(std::string_view name);

    const std::vector<Field>& fields() const noexcept { return fields_; }
    bool empty() const noexcept { return fields_.empty(); }

private:
    std::vector<Field> fields_;
};

bool headerNamesEqual(std::string_view a, std::string_view b) noexcept;

}  // namespace platform
