#include "app/formatting/OpenAIResponsesFormatter.h"

#include "app/formatting/FormattingPrompts.h"
#include "app/formatting/OpenAIResponsesStreamParser.h"
#include "platform/net/AsyncLines.h"
#include "platform/text/Graphemes.h"

namespace dictaro {

namespace {

using platform::JSONNumber;
using platform::JSONValue;

// A failed request's body is read only this far: the envelope is short, and
// a server that sends an endless page must not hold the answer up.
constexpr std::size_t kMaxErrorBodyCharacters = 2000;

}  // namespace

FormattingEnd OpenAIResponsesFormatter::stream(const std::string& transcript, const ContextProfile& context,
                                               const FormattingStream::Yield& yield) const {
    const JSONValue body(JSONValue::Object{
        {"model", model},
        {"instructions", FormattingPrompts::systemPrompt(context)},
        {"input", transcript},
        {"stream", JSONNumber::boolean(true)},
        {"max_output_tokens", JSONNumber::signedInteger(1024)},
    });
    platform::AsyncBytes bytes = provider::send(provider::jsonPost(
        endpoint, timeoutInterval, {{"Content-Type", "application/json"}, {"Authorization", "Bearer " + apiKey}}, body));
    if (bytes.response().statusCode != 200) throw httpError(bytes, bytes.response().statusCode);

    platform::AsyncLines lines(bytes);
    while (std::optional<std::string> line = lines.next()) {
        const std::optional<std::string_view> payload = provider::dataPayload(*line);
        if (!payload) continue;
        if (*payload == "[DONE]") return {FormattingEnd::Kind::complete, {}};
        if (payload->empty()) continue;
        OpenAIResponsesStreamParser::Event event;
        try {
            event = OpenAIResponsesStreamParser::parse(*payload);
        } catch (const FormattingError& error) {
            if (error.kind() != FormattingError::Kind::backendUnavailable) throw;
            throw FormattingError::backendUnavailable(provider::masked(error.detail(), apiKey));
        }
        switch (event.kind) {
            case OpenAIResponsesStreamParser::Event::Kind::text:
                yield(event.text);
                break;
            case OpenAIResponsesStreamParser::Event::Kind::done: return {FormattingEnd::Kind::complete, {}};
            case OpenAIResponsesStreamParser::Event::Kind::ignored: break;
        }
    }
    return {FormattingEnd::Kind::noEndMarker, {}};
}

FormattingError OpenAIResponsesFormatter::httpError(platform::AsyncBytes& body, int status) const {
    platform::AsyncLines lines(body);
    std::string text;
    while (std::optional<std::string> line = lines.next()) {
        text += *line;
        if (platform::text::graphemeCount(text) > kMaxErrorBodyCharacters) break;
    }
    if (std::optional<std::string> message = OpenAIResponsesStreamParser::errorMessage(text)) {
        return FormattingError::backendUnavailable(provider::masked(*message, apiKey));
    }
    return FormattingError::badResponse(status);
}

}  // namespace dictaro
