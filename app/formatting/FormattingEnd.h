#pragma once

#include <string>

namespace dictaro {

// How a rewrite came to its end. Only a complete rewrite may stand in for
// the transcript: every other ending may have lost part of the text even when
// the stream itself finished without an error.
struct FormattingEnd {
    enum class Kind {
        complete,      // the provider's end marker arrived, not at the length limit
        noEndMarker,   // the answer stopped without the provider saying it was done
        lengthLimit,   // the provider stopped at the answer's length cap
        providerError, // the provider reported an error inside the answer
        failed,        // the stream ended with an error
        cancelled,     // the consumer stopped first
    };

    Kind kind = Kind::cancelled;
    // The provider's own words for providerError, the error's text for failed.
    std::string detail;

    bool isComplete() const noexcept { return kind == Kind::complete; }
    // A line for the log.
    std::string description() const;

    friend bool operator==(const FormattingEnd&, const FormattingEnd&) = default;
};

}  // namespace dictaro
