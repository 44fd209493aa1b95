#include "app/formatting/GeminiFormatter.h"

#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/JsonFields.h"
#include "platform/foundation/URL.h"
#include "platform/net/AsyncLines.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

std::string percentEncodedSegment(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[c >> 4]);
            encoded.push_back(kDigits[c & 15]);
        }
    }
    return encoded;
}

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

std::string GeminiFormatter::requestURL() const {
    return endpoint + "/v1beta/models/" + percentEncodedSegment(model) + ":streamGenerateContent?alt=sse";
}

FormattingStream GeminiFormatter::format(const std::string& transcript, const ContextProfile& context) const {
    return FormattingStream::start([self = *this, transcript, context](const FormattingStream::Yield& yield) {
        return self.stream(transcript, context, yield);
    });
}

FormattingEnd GeminiFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                      const FormattingStream::Yield& yield) const {
    const std::string url = requestURL();
    if (!platform::URL::fromString(url)) throw FormattingError::backendUnavailable("Bad Gemini URL for model " + model);
    const JSONValue body(JSONValue::Object{
        {"system_instruction",
         JSONValue::Object{{"parts", JSONValue::Array{JSONValue::Object{{"text", FormattingPrompts::systemPrompt(context)}}}}}},
        {"contents", JSONValue::Array{JSONValue::Object{
                         {"role", "user"}, {"parts", JSONValue::Array{JSONValue::Object{{"text", transcript}}}}}}},
        {"generationConfig", JSONValue::Object{{"temperature", JSONNumber::doubleFloat(0.2)}}},
    });
    platform::AsyncBytes bytes = provider::send(provider::jsonPost(
        url, timeoutInterval, {{"Content-Type", "application/json"}, {"x-goog-api-key", apiKey}}, body));
    if (bytes.response().statusCode != 200) throw FormattingError::badResponse(bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    std::string accumulated;
    std::optional<std::string> finishReason;
    std::optional<std::string> providerError;
    while (std::optional<std::string> line = lines.next()) {
        const std::optional<std::string_view> payload = provider::dataPayload(*line);
        if (!payload || payload->empty()) continue;
        const JSONValue object = provider::decodeObject(*payload);
        Chunk chunk = decodeChunk(object);
        if (!chunk.text.empty()) {
            accumulated += chunk.text;
            yield(accumulated);
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
