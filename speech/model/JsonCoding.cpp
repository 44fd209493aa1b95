#include "speech/model/JsonCoding.h"

#include <cmath>
#include <limits>

namespace sonoscribe {

std::string CodingPath::render() const {
    std::vector<const CodingPath*> chain;
    for (const CodingPath* node = this; node != nullptr && node->parent_ != nullptr; node = node->parent_) {
        chain.push_back(node);
    }
    std::string text;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const CodingPath& node = **it;
        if (node.indexPlusOne_ != 0) {
            text += '[';
            text += std::to_string(node.indexPlusOne_ - 1);
            text += ']';
        } else {
            if (!text.empty()) text += '.';
            text += node.name_;
        }
    }
    return text;
}

namespace json {
namespace {

std::string foundDescription(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::object: return "a dictionary";
    case Json::value_t::array: return "an array";
    case Json::value_t::string: return "a string";
    case Json::value_t::boolean: return "a bool";
    case Json::value_t::binary: return "binary data";
    default: return "a number";
    }
}

[[noreturn]] void throwMismatch(const Json& value, const CodingPath& path, std::string_view expected) {
    if (value.is_null()) {
        throw DecodingError(DecodingError::Kind::valueNotFound, path.render(),
                            "Expected " + std::string(expected) + " value but found null instead.");
    }
    throw DecodingError(DecodingError::Kind::typeMismatch, path.render(),
                        "Expected to decode " + std::string(expected) + " but found " +
                            foundDescription(value) + " instead.");
}

[[noreturn]] void throwDoesNotFit(const Json& value, const CodingPath& path, std::string_view type) {
    throw DecodingError(DecodingError::Kind::dataCorrupted, path.render(),
                        "Parsed JSON number <" + value.dump() + "> does not fit in " + std::string(type) + ".");
}

}  // namespace

float decodeFloat(const Json& value, const CodingPath& path) {
    if (value.is_null()) return std::numeric_limits<float>::quiet_NaN();
    if (!value.is_number()) throwMismatch(value, path, "Float");
    double number = value.get<double>();
    if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max()) {
        throwDoesNotFit(value, path, "Float");
    }
    return static_cast<float>(number);
}

double decodeDouble(const Json& value, const CodingPath& path) {
    if (value.is_null()) return std::numeric_limits<double>::quiet_NaN();
    if (!value.is_number()) throwMismatch(value, path, "Double");
    double number = value.get<double>();
    if (!std::isfinite(number)) throwDoesNotFit(value, path, "Double");
    return number;
}

int64_t decodeInt(const Json& value, const CodingPath& path) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<int64_t>();
    if (value.is_number_unsigned()) {
        uint64_t number = value.get<uint64_t>();
        if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) throwDoesNotFit(value, path, "Int");
        return static_cast<int64_t>(number);
    }
    if (value.is_number_float()) {
        double number = value.get<double>();
        // A whole number written with a fraction (5.0) is still that integer;
        // anything else would need rounding that the writer never intended.
        if (std::isfinite(number) && number == std::trunc(number) && number >= -0x1p63 && number < 0x1p63) {
            return static_cast<int64_t>(number);
        }
        throwDoesNotFit(value, path, "Int");
    }
    throwMismatch(value, path, "Int");
}

bool decodeBool(const Json& value, const CodingPath& path) {
    if (!value.is_boolean()) throwMismatch(value, path, "Bool");
    return value.get<bool>();
}

std::string decodeString(const Json& value, const CodingPath& path) {
    if (!value.is_string()) throwMismatch(value, path, "String");
    return value.get<std::string>();
}

void requireObject(const Json& value, const CodingPath& path, std::string_view typeName) {
    if (!value.is_object()) throwMismatch(value, path, typeName);
}

void requireArray(const Json& value, const CodingPath& path) {
    if (!value.is_array()) throwMismatch(value, path, "Array");
}

const Json& requiredMember(const Json& object, const char* key, const CodingPath& path) {
    auto found = object.find(key);
    if (found == object.end()) {
        throw DecodingError(DecodingError::Kind::keyNotFound, path.render(),
                            "No value associated with key \"" + std::string(key) + "\".");
    }
    return *found;
}

const Json* optionalMember(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return nullptr;
    return &*found;
}

std::vector<int64_t> decodeIntArray(const Json& value, const CodingPath& path) {
    return decodeArray<int64_t>(value, path, decodeInt);
}

std::vector<float> decodeFloatArray(const Json& value, const CodingPath& path) {
    return decodeArray<float>(value, path, decodeFloat);
}

std::vector<std::string> decodeStringArray(const Json& value, const CodingPath& path) {
    return decodeArray<std::string>(value, path, decodeString);
}

Json parse(std::string_view text) {
    try {
        return Json::parse(text);
    } catch (const nlohmann::json::parse_error& error) {
        throw DecodingError(DecodingError::Kind::dataCorrupted, "",
                            std::string("The given data was not valid JSON. ") + error.what());
    }
}

}  // namespace json
}  // namespace sonoscribe
