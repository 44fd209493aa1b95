#include "app/formatting/JsonFields.h"

#include <cmath>
#include <limits>

#include "platform/foundation/DecodingError.h"
#include "platform/foundation/JsonReader.h"

namespace dictaro::json {

namespace {

using platform::DecodingError;
using platform::JSONValue;

[[noreturn]] void missing() {
    throw DecodingError(DecodingError::Kind::keyNotFound, "The data couldn't be read because it is missing.");
}

[[noreturn]] void wrongType() {
    throw DecodingError(DecodingError::Kind::typeMismatch,
                        "The data couldn't be read because it isn't in the correct format.");
}

bool isBoolean(const JSONValue& value) {
    return value.number() && value.number()->storage() == platform::JSONNumber::Storage::boolean;
}

}  // namespace

JSONValue parseObject(std::string_view text) {
    JSONValue value;
    try {
        value = platform::jsonObject(text);
    } catch (const platform::JSONReadError&) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            "The data couldn't be read because it isn't in the correct format.");
    }
    asObject(value);
    return value;
}

const JSONValue* member(const JSONValue& object, std::string_view key) {
    const JSONValue* found = nullptr;
    for (const auto& [name, value] : *object.object()) {
        if (name == key) found = &value;
    }
    return found;
}

const JSONValue& requiredMember(const JSONValue& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    if (!value) missing();
    if (value->isNull()) wrongType();
    return *value;
}

std::string requiredString(const JSONValue& object, std::string_view key) {
    const JSONValue& value = requiredMember(object, key);
    if (!value.string()) wrongType();
    return *value.string();
}

bool requiredBool(const JSONValue& object, std::string_view key) {
    const JSONValue& value = requiredMember(object, key);
    if (!isBoolean(value)) wrongType();
    return value.number()->boolValue();
}

const JSONValue::Array& requiredArray(const JSONValue& object, std::string_view key) {
    const JSONValue& value = requiredMember(object, key);
    if (!value.array()) wrongType();
    return *value.array();
}

const JSONValue& requiredObject(const JSONValue& object, std::string_view key) {
    return asObject(requiredMember(object, key));
}

std::optional<std::string> optionalString(const JSONValue& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    if (!value || value->isNull()) return std::nullopt;
    if (!value->string()) wrongType();
    return *value->string();
}

std::optional<std::int64_t> optionalInt64(const JSONValue& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    if (!value || value->isNull()) return std::nullopt;
    const platform::JSONNumber* number = value->number();
    if (!number || isBoolean(*value)) wrongType();
    if (!number->isFloatingPoint()) {
        if (number->storage() == platform::JSONNumber::Storage::unsignedInteger &&
            number->uint64Value() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            wrongType();
        }
        return number->int64Value();
    }
    // A whole number written with a fraction still fits, as a strict decoder allows.
    const double real = number->doubleValue();
    if (std::trunc(real) != real || real < -9.2e18 || real > 9.2e18) wrongType();
    return static_cast<std::int64_t>(real);
}

const JSONValue* optionalObject(const JSONValue& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    if (!value || value->isNull()) return nullptr;
    return &asObject(*value);
}

const JSONValue::Array* optionalArray(const JSONValue& object, std::string_view key) {
    const JSONValue* value = member(object, key);
    if (!value || value->isNull()) return nullptr;
    if (!value->array()) wrongType();
    return value->array();
}

std::optional<std::string> looseString(const JSONValue& object, std::string_view key) {
    const JSONValue* value = object.object() ? member(object, key) : nullptr;
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

const JSONValue& asObject(const JSONValue& value) {
    if (!value.object()) wrongType();
    return value;
}

}  // namespace dictaro::json
