#pragma once

#include <optional>
#include <stdexcept>
#include <string>

namespace sonoscribe {

// The one failure type of the engine's own code: a kind and the message the
// user sees, which is also what().
class WhisperError : public std::runtime_error {
public:
    enum class Kind {
        tokenizerUnavailable,
        modelsUnavailable,
        audioProcessingFailed,
        decodingLogitsFailed,
        segmentingFailed,
        loadAudioFailed,
        prepareDecoderInputsFailed,
        transcriptionFailed,
        decodingFailed,
        microphoneUnavailable,
        initializationError,
    };

    WhisperError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind), message_(message) {}

    static WhisperError tokenizerUnavailable(const std::string& message) { return {Kind::tokenizerUnavailable, message}; }
    static WhisperError modelsUnavailable(const std::string& message) { return {Kind::modelsUnavailable, message}; }
    static WhisperError audioProcessingFailed(const std::string& message) { return {Kind::audioProcessingFailed, message}; }
    static WhisperError decodingLogitsFailed(const std::string& message) { return {Kind::decodingLogitsFailed, message}; }
    static WhisperError segmentingFailed(const std::string& message) { return {Kind::segmentingFailed, message}; }
    static WhisperError loadAudioFailed(const std::string& message) { return {Kind::loadAudioFailed, message}; }
    static WhisperError prepareDecoderInputsFailed(const std::string& message) {
        return {Kind::prepareDecoderInputsFailed, message};
    }
    static WhisperError transcriptionFailed(const std::string& message) { return {Kind::transcriptionFailed, message}; }
    static WhisperError decodingFailed(const std::string& message) { return {Kind::decodingFailed, message}; }
    static WhisperError microphoneUnavailable(const std::string& message) { return {Kind::microphoneUnavailable, message}; }
    static WhisperError initializationError(const std::string& message) { return {Kind::initializationError, message}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

    // The message, written to the error log on every read so that failures
    // shown to a user also reach the log.
    std::optional<std::string> errorDescription() const;

    bool operator==(const WhisperError& other) const noexcept {
        return kind_ == other.kind_ && message_ == other.message_;
    }

private:
    Kind kind_;
    std::string message_;
};

}  // namespace sonoscribe
