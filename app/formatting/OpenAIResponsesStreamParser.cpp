#include "app/formatting/OpenAIResponsesStreamParser.h"

#include "app/formatting/JsonFields.h"
#include "app/formatting/ProviderExchange.h"
#include "platform/foundation/DecodingError.h"

namespace dictaro {

namespace {

using platform::JSONValue;

std::optional<std::string> apiErrorMessage(const JSONValue& owner) {
    const JSONValue* error = json::optionalObject(owner, "error");
    if (!error) return std::nullopt;
    return json::requiredString(*error, "message");
}

}  // namespace

OpenAIResponsesStreamParser::Event OpenAIResponsesStreamParser::parse(std::string_view payload) {
    const JSONValue event = provider::decodeObject(payload);
    struct Decoded {
        std::string type;
        std::optional<std::string> delta;
        std::optional<std::string> error;
        std::optional<std::string> responseError;
    };
    const Decoded decoded = provider::decoding([&] {
        Decoded result{json::requiredString(event, "type"), json::optionalString(event, "delta"),
                       apiErrorMessage(event), std::nullopt};
        if (const JSONValue* response = json::optionalObject(event, "response")) {
            result.responseError = apiErrorMessage(*response);
        }
        return result;
    });
    if (decoded.error) throw FormattingError::backendUnavailable(*decoded.error);
    if (decoded.responseError) throw FormattingError::backendUnavailable(*decoded.responseError);
    if (decoded.type == "response.output_text.delta") {
        if (decoded.delta && !decoded.delta->empty()) return {Event::Kind::text, *decoded.delta};
        return {};
    }
    if (decoded.type == "response.completed") return {Event::Kind::done, {}};
    if (decoded.type == "response.failed" || decoded.type == "response.incomplete") {
        throw FormattingError::backendUnavailable("OpenAI response ended with " + decoded.type + ".");
    }
    return {};
}

std::optional<std::string> OpenAIResponsesStreamParser::errorMessage(std::string_view body) {
    try {
        const JSONValue envelope = json::parseObject(body);
        return json::requiredString(json::requiredObject(envelope, "error"), "message");
    } catch (const platform::DecodingError&) {
        return std::nullopt;
    }
}

}  // namespace dictaro
