#include "app/formatting/GeminiFormatter.h"

#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/JsonFields.h"
#include "platform/foundation/URL.h"
#include "platform/net/AsyncLines.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

struct Chunk {
    std::string text;
    std::optional<std::string> finishReason;
};

// The first candidate's text (its parts joined), after checking the shape of
// the whole chunk.
Chunk decodeChunk(const JSONValue& payload) {
    return provider::decoding([&] {
        Chunk chunk;
        const JSONValue::Array* candidates = json::optionalArray(payload, "candidates");
        if (!candidates) return chunk;
        for (std::size_t i = 0; i < candidates->size(); ++i) {
            const JSONValue& candidate = json::asObject((*candidates)[i]);
            const JSONValue* content = json::optionalObject(candidate, "content");
            const JSONValue::Array* parts = content ? json::optionalArray(*content, "parts") : nullptr;
            std::string text;
            for (const JSONValue& part : parts ? *parts : JSONValue::Array{}) {
                if (std::optional<std::string> piece = json::optionalString(json::asObject(part), "text")) text += *piece;
            }
            if (i == 0) {
                chunk.text = std::move(text);
                chunk.finishReason = json::looseString(candidate, "finishReason");
            }
        }
        return chunk;
    });
}

}  // namespace

std::optional<std::string> GeminiFormatter::requestURL() const {
    std::optional<platform::URL> models = platform::URL::fromString(endpoint + "/v1beta/models");
    if (!models) return std::nullopt;
    return models->appendingComponent(model + ":streamGenerateContent").absoluteString() + "?alt=sse";
}

FormattingEnd GeminiFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                      const FormattingStream::Yield& yield) const {
    const std::optional<std::string> url = requestURL();
    if (!url) throw FormattingError::backendUnavailable("Bad Gemini URL for model " + model);
    const JSONValue body(JSONValue::Object{
        {"system_instruction",
         JSONValue::Object{{"parts", JSONValue::Array{JSONValue::Object{{"text", FormattingPrompts::systemPrompt(context)}}}}}},
        {"contents", JSONValue::Array{JSONValue::Object{
                         {"role", "user"}, {"parts", JSONValue::Array{JSONValue::Object{{"text", transcript}}}}}}},
        {"generationConfig", JSONValue::Object{{"temperature", JSONNumber::doubleFloat(0.2)}}},
    });
    platform::AsyncBytes bytes = provider::send(provider::jsonPost(
        *url, timeoutInterval, {{"Content-Type", "application/json"}, {"x-goog-api-key", apiKey}}, body));
    if (bytes.response().statusCode != 200) throw FormattingError::badResponse(bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    std::optional<std::string> finishReason;
    std::optional<std::string> providerError;
    while (std::optional<std::string> line = lines.next()) {
        const std::optional<std::string_view> payload = provider::dataPayload(*line);
        if (!payload || payload->empty()) continue;
        const JSONValue object = provider::decodeObject(*payload);
        Chunk chunk = decodeChunk(object);
        if (!chunk.text.empty()) {
            yield(chunk.text);
        }
        if (chunk.finishReason) finishReason = std::move(chunk.finishReason);
        if (std::optional<std::string> message = provider::errorMessage(object)) {
            providerError = provider::masked(*message, apiKey);
        }
    }
    // The answer has no end marker of its own: a finished candidate says
    // why it stopped, and only "STOP" means the text is whole.
    if (providerError) return {FormattingEnd::Kind::providerError, *providerError};
    if (!finishReason) return {FormattingEnd::Kind::noEndMarker, {}};
    if (*finishReason == "MAX_TOKENS") return {FormattingEnd::Kind::lengthLimit, {}};
    if (*finishReason != "STOP") return {FormattingEnd::Kind::providerError, "the answer stopped for " + *finishReason};
    return {FormattingEnd::Kind::complete, {}};
}

}  // namespace dictaro
