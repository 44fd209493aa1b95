#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sonoscribe {

// Writes compact JSON text straight into a string, in the order the calls
// come, so objects keep their declared key order and no document tree is
// built for a large result. Numbers are written as the project prints them:
// the shortest digits that read back to the same value of their own type (a
// float 0.2 is 0.2, not 0.20000000298023224), whole numbers with ".0". A NaN
// or an infinity, which JSON cannot hold, is written as null.
class JsonWriter {
public:
    void beginObject();
    void endObject();
    void beginArray();
    void endArray();

    // Keys are the coders' own field names or decimal numbers, so they are
    // written without escaping.
    void key(std::string_view name);

    void value(bool flag);
    void value(int64_t number);
    void value(float number);
    void value(double number);
    // Escaped by the JSON library; invalid UTF-8 becomes U+FFFD instead of
    // making the whole document unwritable.
    void value(std::string_view text);
    void null();

    template <class Value>
    void field(std::string_view name, const Value& fieldValue) {
        key(name);
        value(fieldValue);
    }

    template <class Number>
    void array(const std::vector<Number>& numbers) {
        beginArray();
        for (const Number& number : numbers) value(number);
        endArray();
    }

    std::string take() { return std::move(text_); }

private:
    void separate();
    template <class Floating>
    void floating(Floating number);

    std::string text_;
    // One entry per open container: whether it has an element already.
    std::vector<bool> hasElement_;
    bool afterKey_ = false;
};

}  // namespace sonoscribe
