#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

// A number as the JSON reader hands it over. Like the platform's number
// objects it remembers how it is stored, so that callers can tell true from 1
// and 2 from 2.0; the writer also accepts single-precision values so that they
// print in their own shortest form.
class JSONNumber {
public:
    enum class Storage { boolean, signedInteger, unsignedInteger, singleFloat, doubleFloat };

    static JSONNumber boolean(bool value) noexcept { return JSONNumber(value); }
    static JSONNumber signedInteger(int64_t value) noexcept { return JSONNumber(value); }
    static JSONNumber unsignedInteger(uint64_t value) noexcept { return JSONNumber(value); }
    static JSONNumber singleFloat(float value) noexcept { return JSONNumber(value); }
    static JSONNumber doubleFloat(double value) noexcept { return JSONNumber(value); }

    Storage storage() const noexcept { return static_cast<Storage>(value_.index()); }
    bool isFloatingPoint() const noexcept {
        return storage() == Storage::singleFloat || storage() == Storage::doubleFloat;
    }

    // Each reading converts the stored value the way a C cast would (a
    // floating value out of an integer's range saturates); callers that need
    // an exact conversion look at storage() first.
    bool boolValue() const noexcept;
    int64_t int64Value() const noexcept;
    uint64_t uint64Value() const noexcept;
    double doubleValue() const noexcept;

    friend bool operator==(const JSONNumber&, const JSONNumber&) = default;

private:
    template <class T>
    explicit JSONNumber(T value) noexcept : value_(value) {}

    std::variant<bool, int64_t, uint64_t, float, double> value_;
};

// The generic object tree of a JSON document: objects, arrays, strings
// (UTF-8, byte for byte as written after unescaping), numbers and null.
class JSONValue {
public:
    // An object keeps its members in document order. A key written twice
    // appears twice; whoever builds a map from it lets the later one win.
    using Object = std::vector<std::pair<std::string, JSONValue>>;
    using Array = std::vector<JSONValue>;

    enum class Kind { null, number, string, array, object };

    JSONValue() noexcept = default;
    JSONValue(JSONNumber number) noexcept : storage_(number) {}
    JSONValue(std::string text) noexcept : storage_(std::move(text)) {}
    JSONValue(const char* text) : storage_(std::string(text)) {}
    JSONValue(Array elements) noexcept : storage_(std::move(elements)) {}
    JSONValue(Object members) noexcept : storage_(std::move(members)) {}

    Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }
    bool isNull() const noexcept { return kind() == Kind::null; }

    // Each accessor gives null when the value is of another kind.
    const JSONNumber* number() const noexcept { return std::get_if<JSONNumber>(&storage_); }
    const std::string* string() const noexcept { return std::get_if<std::string>(&storage_); }
    const Array* array() const noexcept { return std::get_if<Array>(&storage_); }
    const Object* object() const noexcept { return std::get_if<Object>(&storage_); }
    Array* array() noexcept { return std::get_if<Array>(&storage_); }
    Object* object() noexcept { return std::get_if<Object>(&storage_); }

    friend bool operator==(const JSONValue&, const JSONValue&) = default;

private:
    std::variant<std::monostate, JSONNumber, std::string, Array, Object> storage_;
};

}  // namespace platform
