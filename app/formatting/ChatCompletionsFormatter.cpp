#include "app/formatting/ChatCompletionsFormatter.h"

#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/JsonFields.h"
#include "platform/net/AsyncLines.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

// The first choice's piece of text, after checking every choice's shape.
std::optional<std::string> firstContent(const JSONValue& chunk) {
    return provider::decoding([&] {
        std::optional<std::string> first;
        const JSONValue::Array& choices = json::requiredArray(chunk, "choices");
        for (std::size_t i = 0; i < choices.size(); ++i) {
            const JSONValue& delta = json::requiredObject(json::asObject(choices[i]), "delta");
            std::optional<std::string> content = json::optionalString(delta, "content");
            if (i == 0) first = std::move(content);
        }
        return first;
    });
}

std::optional<std::string> firstFinishReason(const JSONValue& chunk) {
    const JSONValue::Array& choices = *json::member(chunk, "choices")->array();
    if (choices.empty()) return std::nullopt;
    return json::looseString(choices.front(), "finish_reason");
}

}  // namespace

FormattingEnd ChatCompletionsFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                               const FormattingStream::Yield& yield) const {
    const JSONValue body(JSONValue::Object{
        {"model", model},
        {"stream", JSONNumber::boolean(true)},
        {"temperature", JSONNumber::doubleFloat(0.2)},
        {"messages", JSONValue::Array{
                         JSONValue::Object{{"role", "system"}, {"content", FormattingPrompts::systemPrompt(context)}},
                         JSONValue::Object{{"role", "user"}, {"content", transcript}},
                     }},
    });
    platform::AsyncBytes bytes = provider::send(
        provider::jsonPost(baseURL.appendingPathComponent("chat/completions").absoluteString(), timeoutInterval,
                           {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey}}, body));
    if (bytes.response().statusCode != 200) throw FormattingError::badResponse(bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    std::optional<std::string> finishReason;
    while (std::optional<std::string> line = lines.next()) {
        const std::optional<std::string_view> payload = provider::dataPayload(*line);
        if (!payload) continue;
        if (*payload == "[DONE]") {
            if (finishReason == "length") return {FormattingEnd::Kind::lengthLimit, {}};
            return {FormattingEnd::Kind::complete, {}};
        }
        if (payload->empty()) continue;
        const JSONValue chunk = provider::decodeObject(*payload);
        const std::optional<std::string> content = firstContent(chunk);
        if (content && !content->empty()) {
            yield(*content);
        }
        if (std::optional<std::string> reason = firstFinishReason(chunk)) finishReason = std::move(reason);
    }
    return {FormattingEnd::Kind::noEndMarker, {}};
}

}  // namespace dictaro
