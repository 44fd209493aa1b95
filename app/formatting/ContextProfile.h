#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dictaro {

// Where a rewritten transcript will be pasted, as far as the prompt cares.
struct ContextProfile {
    enum class Kind { email, chat, code, terminal, notes, generic };

    Kind kind = Kind::generic;
    std::optional<std::string> appName;
    // The focused field's placeholder, description or title.
    std::optional<std::string> fieldHint;

    friend bool operator==(const ContextProfile&, const ContextProfile&) = default;
};

std::string_view rawValue(ContextProfile::Kind kind) noexcept;
// None for a text that names no kind.
std::optional<ContextProfile::Kind> contextKind(std::string_view rawValue) noexcept;

}  // namespace dictaro
