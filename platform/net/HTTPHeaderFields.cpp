#include "platform/net/HTTPHeaderFields.h"

#include <algorithm>

namespace platform {

namespace {

char lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool headerNamesEqual(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lower(x) == lower(y);
           });
}

std::optional<std::string> HTTPHeaderFields::value(std::string_view name) const {
    for (const auto& [fieldName, fieldValue] : fields_) {
        if (headerNamesEqual(fieldName, name)) {
            return fieldValue;
        }
    }
    return std::nullopt;
}

void HTTPHeaderFields::setValue(std::string_view name, std::string value) {
    auto first = std::find_if(fields_.begin(), fields_.end(),
                              [&](const Field& field) { return headerNamesEqual(field.first, name); });
    if (first == fields_.end()) {
        fields_.emplace_back(std::string(name), std::move(value));
        return;
    }
    first->second = std::move(value);
    fields_.erase(std::remove_if(std::next(first), fields_.end(),
                                 [&](const Field& field) { return headerNamesEqual(field.first, name); }),
                  fields_.end());
}

void HTTPHeaderFields::addValue(std::string_view name, std::string_view value) {
    for (auto& [fieldName, fieldValue] : fields_) {
        if (headerNamesEqual(fieldName, name)) {
            fieldValue.append(", ").append(value);
            return;
        }
    }
    fields_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaderFields::remove(std::string_view name) {
    fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                                 [&](const Field& field) { return headerNamesEqual(field.first, name); }),
                  fields_.end());
}

}  // namespace platform
