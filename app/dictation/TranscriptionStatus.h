#pragma once

#include <optional>
#include <string>
#include <utility>

namespace dictaro {

// Where the speech service stands. Two errors are the same status when their
// texts are the same; two loadings when they have downloaded as much.
struct TranscriptionStatus {
    enum class Kind { loading, ready, recording, paused, error };

    Kind kind = Kind::loading;
    // The text shown to the user for error; empty otherwise.
    std::string message;
    // While loading: how much of the model has been downloaded, in whole
    // percent; none when nothing is being downloaded.
    std::optional<int> downloadPercent;

    static TranscriptionStatus loading(std::optional<int> downloadPercent = std::nullopt) {
        return {Kind::loading, {}, downloadPercent};
    }
    static TranscriptionStatus ready() { return {Kind::ready, {}, {}}; }
    static TranscriptionStatus recording() { return {Kind::recording, {}, {}}; }
    static TranscriptionStatus paused() { return {Kind::paused, {}, {}}; }
    static TranscriptionStatus error(std::string message) { return {Kind::error, std::move(message), {}}; }

    bool isRecordingOrPaused() const noexcept { return kind == Kind::recording || kind == Kind::paused; }

    // "loading", "ready", "recording", "paused", or error("the text") for a log line.
    std::string description() const;

    friend bool operator==(const TranscriptionStatus&, const TranscriptionStatus&) = default;
};

}  // namespace dictaro
