#include "app/formatting/ContextProfile.h"

#include <array>
#include <utility>

namespace dictaro {

namespace {

using Kind = ContextProfile::Kind;

constexpr std::array<std::pair<Kind, std::string_view>, 6> kNames{{
    {Kind::email, "email"},
    {Kind::chat, "chat"},
    {Kind::code, "code"},
    {Kind::terminal, "terminal"},
    {Kind::notes, "notes"},
    {Kind::generic, "generic"},
}};

}  // namespace

std::string_view rawValue(Kind kind) noexcept {
    for (const auto& [candidate, name] : kNames) {
        if (candidate == kind) return name;
    }
    return "generic";
}

std::optional<Kind> contextKind(std::string_view rawValue) noexcept {
    for (const auto& [kind, name] : kNames) {
        if (name == rawValue) return kind;
    }
    return std::nullopt;
}

}  // namespace dictaro
