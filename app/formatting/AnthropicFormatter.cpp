#include "app/formatting/AnthropicFormatter.h"

#include "app/formatting/FormattingError.h"
#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/JsonFields.h"
#include "platform/net/AsyncLines.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

struct StreamEvent {
    std::string type;
    std::optional<std::string> text;
};

StreamEvent decodeEvent(const JSONValue& payload) {
    return provider::decoding([&] {
        StreamEvent event{json::requiredString(payload, "type"), std::nullopt};
        if (const JSONValue* delta = json::optionalObject(payload, "delta")) {
            json::optionalString(*delta, "type");
            event.text = json::optionalString(*delta, "text");
        }
        return event;
    });
}

}  // namespace

FormattingEnd AnthropicFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                         const FormattingStream::Yield& yield) const {
    const JSONValue body(JSONValue::Object{
        {"model", model},
        {"max_tokens", JSONNumber::signedInteger(1024)},
        {"stream", JSONNumber::boolean(true)},
        {"system", FormattingPrompts::systemPrompt(context)},
        {"messages", JSONValue::Array{JSONValue::Object{{"role", "user"}, {"content", transcript}}}},
        {"temperature", JSONNumber::doubleFloat(0.2)},
    });
    platform::AsyncBytes bytes = provider::send(provider::jsonPost(
        endpoint, timeoutInterval,
        {{"content-type", "application/json"}, {"x-api-key", apiKey}, {"anthropic-version", "2023-06-01"}}, body));
    if (bytes.response().statusCode != 200) throw FormattingError::badResponse(bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    std::optional<std::string> stopReason;
    std::optional<std::string> providerError;
    bool stopped = false;
    while (std::optional<std::string> line = lines.next()) {
        const std::optional<std::string_view> payload = provider::dataPayload(*line);
        if (!payload || payload->empty()) continue;
        const JSONValue object = provider::decodeObject(*payload);
        const StreamEvent event = decodeEvent(object);
        if (event.type == "content_block_delta" && event.text && !event.text->empty()) {
            yield(*event.text);
        } else if (event.type == "message_delta") {
            if (const JSONValue* delta = json::member(object, "delta")) stopReason = json::looseString(*delta, "stop_reason");
        } else if (event.type == "error") {
            providerError = provider::masked(provider::errorMessage(object).value_or("unknown error"), apiKey);
        } else if (event.type == "message_stop") {
            stopped = true;
            break;
        }
    }
    if (providerError) return {FormattingEnd::Kind::providerError, *providerError};
    if (!stopped) return {FormattingEnd::Kind::noEndMarker, {}};
    if (stopReason == "max_tokens") return {FormattingEnd::Kind::lengthLimit, {}};
    return {FormattingEnd::Kind::complete, {}};
}

}  // namespace dictaro
