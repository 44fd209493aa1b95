#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dictaro {

// Reads the events of OpenAI's Responses stream and the body of a failed request.
struct OpenAIResponsesStreamParser {
    OpenAIResponsesStreamParser() = delete;

    struct Event {
        enum class Kind { text, done, ignored };
        Kind kind = Kind::ignored;
        std::string text;

        friend bool operator==(const Event&, const Event&) = default;
    };

    // Throws FormattingError for an event that reports a failure or that
    // does not decode.
    static Event parse(std::string_view payload);
    // The message of an error envelope, or none.
    static std::optional<std::string> errorMessage(std::string_view body);
};

}  // namespace dictaro
