#include "platform/foundation/JsonWriter.h"

#include <charconv>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace platform {
namespace {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

    void write(const JSONValue& value) {
        switch (value.kind()) {
        case JSONValue::Kind::null: append("null"); break;
        case JSONValue::Kind::number: writeNumber(*value.number()); break;
        case JSONValue::Kind::string: writeString(*value.string()); break;
        case JSONValue::Kind::array: writeArray(*value.array()); break;
        case JSONValue::Kind::object: writeObject(*value.object()); break;
        }
    }

private:
    void writeArray(const JSONValue::Array& elements) {
        out_.push_back('[');
        for (std::size_t i = 0; i < elements.size(); ++i) {
            if (i > 0) out_.push_back(',');
            write(elements[i]);
        }
        out_.push_back(']');
    }

    void writeObject(const JSONValue::Object& members) {
        out_.push_back('{');
        for (std::size_t i = 0; i < members.size(); ++i) {
            if (i > 0) out_.push_back(',');
            writeString(members[i].first);
            out_.push_back(':');
            write(members[i].second);
        }
        out_.push_back('}');
    }

    void writeString(const std::string& text) {
        try {
            append(nlohmann::json(text).dump());
        } catch (const nlohmann::json::type_error&) {
            throw JSONWriteError("Invalid UTF-8 in a JSON string");
        }
    }

    void writeNumber(const JSONNumber& number) {
        using Storage = JSONNumber::Storage;
        switch (number.storage()) {
        case Storage::boolean: append(number.boolValue() ? "true" : "false"); break;
        case Storage::signedInteger: appendChars(number.int64Value()); break;
        case Storage::unsignedInteger: appendChars(number.uint64Value()); break;
        case Storage::singleFloat: appendFloating(static_cast<float>(number.doubleValue())); break;
        case Storage::doubleFloat: appendFloating(number.doubleValue()); break;
        }
    }

    template <class Floating>
    void appendFloating(Floating value) {
        if (!std::isfinite(value)) {
            throw JSONWriteError("Invalid number in JSON: " + std::to_string(value));
        }
        appendChars(value);
    }

    template <class T>
    void appendChars(T value) {
        char buffer[32];
        auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out_.insert(out_.end(), buffer, result.ptr);
    }

    void append(std::string_view text) { out_.insert(out_.end(), text.begin(), text.end()); }

    std::vector<uint8_t>& out_;
};

}  // namespace

std::vector<uint8_t> jsonData(const JSONValue& value) {
    std::vector<uint8_t> out;
    Writer(out).write(value);
    return out;
}

}  // namespace platform
