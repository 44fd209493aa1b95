#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/JsonValue.h"

namespace dictaro::json {

// Reading provider answers the way a strict decoder does: a required member
// that is missing, or any member of the wrong JSON type, fails the whole
// payload with platform::DecodingError; an optional member that is absent or
// null gives none. Where a key appears twice the later one counts.

// The payload as a JSON object; throws DecodingError for text that is not
// JSON or not an object.
platform::JSONValue parseObject(std::string_view text);

const platform::JSONValue* member(const platform::JSONValue& object, std::string_view key);

const platform::JSONValue& requiredMember(const platform::JSONValue& object, std::string_view key);
std::string requiredString(const platform::JSONValue& object, std::string_view key);
bool requiredBool(const platform::JSONValue& object, std::string_view key);
const platform::JSONValue::Array& requiredArray(const platform::JSONValue& object, std::string_view key);
const platform::JSONValue& requiredObject(const platform::JSONValue& object, std::string_view key);

std::optional<std::string> optionalString(const platform::JSONValue& object, std::string_view key);
std::optional<std::int64_t> optionalInt64(const platform::JSONValue& object, std::string_view key);
const platform::JSONValue* optionalObject(const platform::JSONValue& object, std::string_view key);
const platform::JSONValue::Array* optionalArray(const platform::JSONValue& object, std::string_view key);

// A member read leniently, for what only decides how an answer ended: a
// string when it is one, else none.
std::optional<std::string> looseString(const platform::JSONValue& object, std::string_view key);

// Checks that a value taken from an array is an object.
const platform::JSONValue& asObject(const platform::JSONValue& value);

}  // namespace dictaro::json
