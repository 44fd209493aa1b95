#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "speech/model/TranscriptionResult.h"
#include "speech/model/TranscriptionSegment.h"

namespace sonoscribe {

// Helpers over transcription output; they call no model and keep no state.
struct TranscriptionUtilities {
    TranscriptionUtilities() = delete;

    // The segment moved seekTime seconds later: times, words and seek
    // (seekTime * 16000 samples). seekTime must be finite.
    static TranscriptionSegment updateSegmentTimings(const TranscriptionSegment& segment, float seekTime);

    // One line per segment: "[start --> end] text" with two decimals, or the
    // text alone.
    static std::vector<std::string> formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                   bool withTimestamps);

    // The shared start of both lists, as the second list has it. Words
    // match when they differ only in case, hyphens, punctuation or spacing.
    static std::vector<WordTiming> findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                           const std::vector<WordTiming>& second);
    // The second list after that shared start.
    static std::vector<WordTiming> findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                              const std::vector<WordTiming>& second);

    // One result from several. Segment ids are the result's position plus
    // the segment's position within it, so ids of different results overlap.
    static std::shared_ptr<TranscriptionResult> mergeTranscriptionResults(
        const std::vector<std::shared_ptr<TranscriptionResult>>& results,
        const std::optional<std::vector<WordTiming>>& confirmedWords = std::nullopt);
};

}  // namespace sonoscribe
