#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/tokenizers/UnsupportedConfigurationError.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace celvan {

// Reading a tokenizer component's settings: a "type" must be a string to
// name a component at all, and a boolean setting that is absent or unreadable
// takes the component's default.

inline std::optional<std::string> componentType(const Config& config) { return config["type"].string(); }

inline bool booleanSetting(const Config& config, const char* name, bool fallback) {
    return config[name].boolean().value_or(fallback);
}

// The value a name stands for in a table of component types or behaviours.
template <typename Value, std::size_t count>
std::optional<Value> namedValue(const std::array<std::pair<std::string_view, Value>, count>& table, std::string_view name) {
    for (const auto& [text, value] : table) {
        if (text == name) return value;
    }
    return std::nullopt;
}

// Settings a file cannot do without stop the load with the message naming them.
[[noreturn]] inline void rejectConfiguration(const std::string& message) {
    throw UnsupportedConfigurationError(message);
}

} // namespace celvan
