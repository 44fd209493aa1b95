#include "app/formatting/OllamaFormatter.h"

#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/JsonFields.h"
#include "platform/net/AsyncLines.h"
#include "platform/text/UnicodeProperties.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

struct ChatStreamChunk {
    std::optional<std::string> content;
    bool done = false;
};

ChatStreamChunk decodeChunk(const JSONValue& line) {
    return provider::decoding([&] {
        ChatStreamChunk chunk;
        if (const JSONValue* message = json::optionalObject(line, "message")) {
            chunk.content = json::requiredString(*message, "content");
        }
        chunk.done = json::requiredBool(line, "done");
        return chunk;
    });
}

}  // namespace

FormattingEnd OllamaFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                      const FormattingStream::Yield& yield) const {
    const JSONValue body(JSONValue::Object{
        {"model", model},
        {"stream", JSONNumber::boolean(true)},
        {"messages", JSONValue::Array{
                         JSONValue::Object{{"role", "system"}, {"content", FormattingPrompts::systemPrompt(context)}},
                         JSONValue::Object{{"role", "user"}, {"content", transcript}},
                     }},
        {"options", JSONValue::Object{{"temperature", JSONNumber::doubleFloat(0.2)},
                                      {"num_predict", JSONNumber::signedInteger(512)}}},
    });
    platform::AsyncBytes bytes = provider::send(provider::jsonPost(
        host.appendingPathComponent("api/chat").absoluteString(), timeoutInterval,
        {{"Content-Type", "application/json"}}, body));
    if (bytes.response().statusCode != 200) throw FormattingError::badResponse(bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    while (std::optional<std::string> line = lines.next()) {
        const std::string_view trimmed = platform::text::trimmingWhitespaces(*line);
        if (trimmed.empty()) continue;
        const JSONValue object = provider::decodeObject(trimmed);
        const ChatStreamChunk chunk = decodeChunk(object);
        if (chunk.content && !chunk.content->empty()) {
            yield(*chunk.content);
        }
        if (chunk.done) {
            if (json::looseString(object, "done_reason") == "length") return {FormattingEnd::Kind::lengthLimit, {}};
            return {FormattingEnd::Kind::complete, {}};
        }
    }
    return {FormattingEnd::Kind::noEndMarker, {}};
}

}  // namespace dictaro
