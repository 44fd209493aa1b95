#include "platform/foundation/JsonReader.h"

#include <tuple>

#include <nlohmann/json.hpp>

namespace platform {
namespace {

// Builds the tree straight from the parser's events, so that a document is
// walked once and no intermediate representation is allocated.
class TreeBuilder {
public:
    bool null() { return place(JSONValue()) != nullptr; }
    bool boolean(bool value) { return place(JSONNumber::boolean(value)) != nullptr; }
    bool number_integer(int64_t value) {
        return place(JSONNumber::signedInteger(value)) != nullptr;
    }
    bool number_unsigned(uint64_t value) {
        return place(JSONNumber::unsignedInteger(value)) != nullptr;
    }
    bool number_float(double value, const std::string&) {
        return place(JSONNumber::doubleFloat(value)) != nullptr;
    }
    bool string(std::string& value) { return place(JSONValue(std::move(value))) != nullptr; }
    bool binary(nlohmann::json::binary_t&) { return false; }

    bool start_object(std::size_t) { return open(JSONValue::Object{}); }
    bool key(std::string& name) {
        open_.back()->object()->emplace_back(std::piecewise_construct,
                                             std::forward_as_tuple(std::move(name)),
                                             std::forward_as_tuple());
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(JSONValue::Array{}); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        // The library prefixes its own exception id ("[json.exception...] ").
        std::string_view text = error.what();
        if (auto end = text.find("] "); text.starts_with('[') && end != std::string_view::npos) {
            text.remove_prefix(end + 2);
        }
        error_ = text;
        return false;
    }

    JSONValue takeRoot() { return std::move(root_); }
    const std::string& error() const { return error_; }

private:
    JSONValue* place(JSONValue&& value) {
        if (open_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        JSONValue* container = open_.back();
        if (auto* elements = container->array()) {
            elements->push_back(std::move(value));
            return &elements->back();
        }
        // key() has just appended the member that this value belongs to.
        auto& member = container->object()->back();
        member.second = std::move(value);
        return &member.second;
    }

    // A container's address stays valid while it is open: only the innermost
    // open container ever grows.
    bool open(JSONValue&& container) {
        if (open_.size() == kJSONMaximumNesting) {
            error_ = "too many nested arrays or objects (more than " +
                     std::to_string(kJSONMaximumNesting) + ")";
            return false;
        }
        open_.push_back(place(std::move(container)));
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    JSONValue root_;
    std::vector<JSONValue*> open_;
    std::string error_;
};

}  // namespace

JSONValue jsonObject(std::string_view data, JSONReadingOptions options) {
    TreeBuilder builder;
    const char* begin = data.data();
    if (!nlohmann::json::sax_parse(begin, begin + data.size(), &builder)) {
        throw JSONReadError("The data is not valid JSON: " + builder.error());
    }
    JSONValue root = builder.takeRoot();
    const auto kind = root.kind();
    if (!options.fragmentsAllowed && kind != JSONValue::Kind::object &&
        kind != JSONValue::Kind::array) {
        throw JSONReadError(
            "The data is not valid JSON: the top level is neither an object nor an array "
            "and fragments are not allowed");
    }
    return root;
}

JSONValue jsonObject(const std::vector<uint8_t>& data, JSONReadingOptions options) {
    return jsonObject(
        std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), options);
}

}  // namespace platform
