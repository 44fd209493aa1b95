#include "speech/model/JsonWriter.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

#include "platform/foundation/NumberFormatting.h"

namespace sonoscribe {

void JsonWriter::separate() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!hasElement_.empty()) {
        if (hasElement_.back()) text_ += ',';
        hasElement_.back() = true;
    }
}

void JsonWriter::beginObject() {
    separate();
    text_ += '{';
    hasElement_.push_back(false);
}

void JsonWriter::endObject() {
    text_ += '}';
    hasElement_.pop_back();
}

void JsonWriter::beginArray() {
    separate();
    text_ += '[';
    hasElement_.push_back(false);
}

void JsonWriter::endArray() {
    text_ += ']';
    hasElement_.pop_back();
}

void JsonWriter::key(std::string_view name) {
    separate();
    text_ += '"';
    text_ += name;
    text_ += "\":";
    afterKey_ = true;
}

void JsonWriter::value(bool flag) {
    separate();
    text_ += flag ? "true" : "false";
}

void JsonWriter::value(int64_t number) {
    separate();
    char digits[24];
    text_.append(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
}

void JsonWriter::value(float number) {
    floating(number);
}

void JsonWriter::value(double number) {
    floating(number);
}

void JsonWriter::value(std::string_view text) {
    separate();
    text_ += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void JsonWriter::null() {
    separate();
    text_ += "null";
}

template <class Floating>
void JsonWriter::floating(Floating number) {
    separate();
    if (std::isfinite(number)) {
        text_ += platform::description(number);
    } else {
        text_ += "null";
    }
}

}  // namespace sonoscribe
