#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "speech/model/DecodingError.h"
#include "speech/model/JsonWriter.h"

namespace sonoscribe {

// The parsed form that values are decoded from; writing goes through
// JsonWriter, which keeps each type's key order.
using Json = nlohmann::json;

// Where in a document a value sits. Paths live on the caller's stack and are
// rendered only when an error needs them, so decoding a large result does not
// build a string per element.
class CodingPath {
public:
    CodingPath() = default;

    CodingPath key(std::string_view name) const { return CodingPath(this, name, 0); }
    CodingPath index(std::size_t position) const { return CodingPath(this, {}, position + 1); }

    std::string render() const;

private:
    CodingPath(const CodingPath* parent, std::string_view name, std::size_t indexPlusOne)
        : parent_(parent), name_(name), indexPlusOne_(indexPlusOne) {}

    const CodingPath* parent_ = nullptr;
    std::string_view name_;
    std::size_t indexPlusOne_ = 0;
};

// Each engine value with a JSON form specialises this with
//   static void encode(JsonWriter&, const T&);
//   static T decode(const Json&, const CodingPath&);
template <class T>
struct JsonCoder;

namespace json {

// Non-finite numbers are written as null, so null reads back as NaN where a
// number is required.
float decodeFloat(const Json& value, const CodingPath& path);
double decodeDouble(const Json& value, const CodingPath& path);
int64_t decodeInt(const Json& value, const CodingPath& path);
bool decodeBool(const Json& value, const CodingPath& path);
std::string decodeString(const Json& value, const CodingPath& path);

// Fails unless the value is an object; typeName names the value being read.
void requireObject(const Json& value, const CodingPath& path, std::string_view typeName);
void requireArray(const Json& value, const CodingPath& path);

// The member under key, failing when it is absent.
const Json& requiredMember(const Json& object, const char* key, const CodingPath& path);
// The member under key, or null when it is absent or null.
const Json* optionalMember(const Json& object, const char* key);

template <class Element, class DecodeElement>
std::vector<Element> decodeArray(const Json& value, const CodingPath& path, DecodeElement decodeElement) {
    requireArray(value, path);
    std::vector<Element> elements;
    elements.reserve(value.size());
    std::size_t position = 0;
    for (const Json& element : value) {
        elements.push_back(decodeElement(element, path.index(position)));
        ++position;
    }
    return elements;
}

// Reads the members of one object in the order its type declares them.
class ObjectReader {
public:
    // Fails unless value is an object; typeName names the type being read.
    ObjectReader(const Json& value, const CodingPath& path, std::string_view typeName)
        : object_(value), path_(path) {
        requireObject(value, path, typeName);
    }

    template <class DecodeField>
    auto required(const char* key, DecodeField decodeField) const {
        return decodeField(requiredMember(object_, key, path_), path_.key(key));
    }

    // nullopt when the key is absent or null.
    template <class DecodeField>
    auto optional(const char* key, DecodeField decodeField) const
        -> std::optional<decltype(decodeField(std::declval<const Json&>(), std::declval<const CodingPath&>()))> {
        const Json* member = optionalMember(object_, key);
        if (member == nullptr) return std::nullopt;
        return decodeField(*member, path_.key(key));
    }

private:
    const Json& object_;
    const CodingPath& path_;
};

std::vector<int64_t> decodeIntArray(const Json& value, const CodingPath& path);
std::vector<float> decodeFloatArray(const Json& value, const CodingPath& path);
std::vector<std::string> decodeStringArray(const Json& value, const CodingPath& path);

// Parses text, turning a syntax error into a data-corruption DecodingError.
Json parse(std::string_view text);

}  // namespace json

template <class T>
std::string encodeJSON(const T& value) {
    JsonWriter writer;
    JsonCoder<T>::encode(writer, value);
    return writer.take();
}

// A value, or for the shared result class a shared pointer to one.
template <class T>
auto decodeJSON(std::string_view text) {
    return JsonCoder<T>::decode(json::parse(text), CodingPath());
}

}  // namespace sonoscribe
