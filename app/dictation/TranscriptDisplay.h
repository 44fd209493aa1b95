#pragma once

#include <optional>
#include <string>

#include "app/dictation/PasteTarget.h"
#include "app/dictation/TutorialStep.h"

namespace dictaro {

// What the transcript panel shows: the dictation controller builds one of
// these whenever something changes, and the view sets every control from it.
struct TranscriptDisplay {
    enum class Kind { loading, ready, practiceIntro, listening, paused, formatting, copied, error, tutorial, practiceResult };

    Kind kind = Kind::loading;
    // The transcript (listening, paused, formatting, practiceResult) or the
    // message (copied, error); empty for the cases without a payload.
    std::string text;
    // Where the text will go (listening, paused, formatting); none in the practice run.
    std::optional<PasteTarget> target;
    TutorialStep step = TutorialStep::pause;  // tutorial only
    std::optional<int> downloadPercent;       // loading only: how much of the model has arrived

    static TranscriptDisplay loading(std::optional<int> downloadPercent = std::nullopt) {
        return {Kind::loading, {}, {}, {}, downloadPercent};
    }
    static TranscriptDisplay ready() { return {Kind::ready, {}, {}, {}, {}}; }
    static TranscriptDisplay practiceIntro() { return {Kind::practiceIntro, {}, {}, {}, {}}; }
    static TranscriptDisplay listening(std::string text, std::optional<PasteTarget> target) {
        return {Kind::listening, std::move(text), std::move(target), {}, {}};
    }
    static TranscriptDisplay paused(std::string text, std::optional<PasteTarget> target) {
        return {Kind::paused, std::move(text), std::move(target), {}, {}};
    }
    static TranscriptDisplay formatting(std::string text, std::optional<PasteTarget> target) {
        return {Kind::formatting, std::move(text), std::move(target), {}, {}};
    }
    static TranscriptDisplay copied(std::string message) { return {Kind::copied, std::move(message), {}, {}, {}}; }
    static TranscriptDisplay error(std::string message) { return {Kind::error, std::move(message), {}, {}, {}}; }
    static TranscriptDisplay tutorial(TutorialStep step) { return {Kind::tutorial, {}, {}, step, {}}; }
    static TranscriptDisplay practiceResult(std::string text) {
        return {Kind::practiceResult, std::move(text), {}, {}, {}};
    }

    friend bool operator==(const TranscriptDisplay&, const TranscriptDisplay&) = default;
};

}  // namespace dictaro
