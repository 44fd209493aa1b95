#include <cmath>
#include <limits>

#include "mlcore/foundation/Config.h"
#include "platform/foundation/JsonValue.h"

namespace celvan {
namespace {

using platform::JSONNumber;
using platform::JSONValue;

// 2^63 is an exact double; every whole double below it and at or above -2^63
// fits a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

std::optional<int64_t> wholeInt64(double value) {
    if (!std::isfinite(value) || std::trunc(value) != value) return std::nullopt;
    if (value < -kInt64Limit || value >= kInt64Limit) return std::nullopt;
    return static_cast<int64_t>(value);
}

// Whole numbers within the signed 64-bit range become integers; any other
// number (a fraction, or a magnitude such as 1e30 beyond the range) becomes the
// nearest float rather than failing or wrapping around.
Config numberValue(const JSONNumber& number, bool keepBooleans) {
    switch (number.storage()) {
    case JSONNumber::Storage::boolean:
        if (keepBooleans) return Config(number.boolValue());
        return Config(int64_t{number.boolValue() ? 1 : 0});
    case JSONNumber::Storage::signedInteger: return Config(number.int64Value());
    case JSONNumber::Storage::unsignedInteger:
        if (number.uint64Value() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return Config(number.int64Value());
        }
        return Config(static_cast<float>(number.uint64Value()));
    case JSONNumber::Storage::singleFloat:
    case JSONNumber::Storage::doubleFloat:
        if (auto whole = wholeInt64(number.doubleValue())) return Config(*whole);
        return Config(static_cast<float>(number.doubleValue()));
    }
    return Config();
}

std::optional<uint64_t> tokenId(const JSONValue& value) {
    const JSONNumber* number = value.number();
    if (!number) return std::nullopt;
    switch (number->storage()) {
    case JSONNumber::Storage::boolean: return std::nullopt;
    case JSONNumber::Storage::signedInteger:
        if (number->int64Value() < 0) return std::nullopt;
        return static_cast<uint64_t>(number->int64Value());
    case JSONNumber::Storage::unsignedInteger: return number->uint64Value();
    case JSONNumber::Storage::singleFloat:
    case JSONNumber::Storage::doubleFloat: {
        const double id = number->doubleValue();
        if (std::trunc(id) != id || id < 0 || id >= 2 * kInt64Limit) return std::nullopt;
        return static_cast<uint64_t>(id);
    }
    }
    return std::nullopt;
}

}  // namespace

Config Config::convertToBinaryDistinctKeys(const JSONValue& value) {
    switch (value.kind()) {
    case JSONValue::Kind::object: {
        const auto& members = *value.object();
        Dictionary entries;
        entries.reserve(members.size());
        for (const auto& [key, member] : members) {
            entries.insert_or_assign(BinaryDistinctString(key), convertToBinaryDistinctKeys(member));
        }
        return Config(std::move(entries));
    }
    case JSONValue::Kind::array: {
        const auto& elements = *value.array();
        Array converted;
        converted.reserve(elements.size());
        for (const auto& element : elements) {
            converted.push_back(convertToBinaryDistinctKeys(element));
        }
        return Config(std::move(converted));
    }
    case JSONValue::Kind::string: return Config(BinaryDistinctString(*value.string()));
    case JSONValue::Kind::number: return numberValue(*value.number(), false);
    case JSONValue::Kind::null: return Config();
    }
    return Config();
}

Config Config::decode(const JSONValue& value) {
    switch (value.kind()) {
    case JSONValue::Kind::null: return Config();
    case JSONValue::Kind::number: return numberValue(*value.number(), true);
    case JSONValue::Kind::string: return Config(BinaryDistinctString(*value.string()));
    case JSONValue::Kind::array: {
        const auto& elements = *value.array();
        if (elements.size() == 2 && elements[1].string()) {
            if (auto id = tokenId(elements[0])) {
                return Config(Token{*id, BinaryDistinctString(*elements[1].string())});
            }
        }
        Array decoded;
        decoded.reserve(elements.size());
        for (const auto& element : elements) decoded.push_back(decode(element));
        return Config(std::move(decoded));
    }
    case JSONValue::Kind::object: {
        const auto& members = *value.object();
        Dictionary entries;
        entries.reserve(members.size());
        for (const auto& [key, member] : members) {
            entries.insert_or_assign(BinaryDistinctString(key), decode(member));
        }
        return Config(std::move(entries));
    }
    }
    return Config();
}

JSONValue Config::encode() const {
    switch (value_.kind()) {
    case Data::Kind::string: return JSONValue(value_.stringValue()->string());
    case Data::Kind::integer: return JSONNumber::signedInteger(*value_.integerValue());
    case Data::Kind::boolean: return JSONNumber::boolean(*value_.booleanValue());
    case Data::Kind::floating: return JSONNumber::singleFloat(*value_.floatingValue());
    case Data::Kind::dictionary: {
        JSONValue::Object members;
        members.reserve(dictionary()->size());
        for (const auto& [key, entry] : *dictionary()) members.emplace_back(key.string(), entry.encode());
        return JSONValue(std::move(members));
    }
    case Data::Kind::array: {
        JSONValue::Array elements;
        elements.reserve(array()->size());
        for (const auto& element : *array()) elements.push_back(element.encode());
        return JSONValue(std::move(elements));
    }
    case Data::Kind::token: {
        const Token& token = *value_.tokenValue();
        return JSONValue(JSONValue::Array{JSONNumber::unsignedInteger(token.id), token.text.string()});
    }
    case Data::Kind::null: return JSONValue();
    }
    return JSONValue();
}

}  // namespace celvan
