#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/coreml/MLMultiArray.h"
#include "speech/decoding/WhisperTokenizer.h"
#include "speech/model/DecodingOptions.h"
#include "speech/model/DecodingResult.h"
#include "speech/model/TranscriptionSegment.h"
#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

// A path through an alignment matrix: per step, a token row and a frame.
struct AlignmentPath {
    std::vector<int64_t> textIndices;
    std::vector<int64_t> timeIndices;
};

// Cuts one window's tokens into timed segments and finds where the next
// window starts; adds word timings from the decoder's alignment weights.
class SegmentSeeking {
public:
    virtual ~SegmentSeeking() = default;

    // The next seek in samples and the window's segments; no segments when
    // the window is skipped as silence.
    virtual std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
        int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) = 0;

    // The segments with their words. `alignmentWeights` holds one row per
    // cache position ([S, frames]); the row of a segment token is found from
    // the window's start-of-transcript position. Throws WhisperError
    // (segmentingFailed) for weights that are not a matrix.
    virtual std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const platform::MLMultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, int64_t seek, int64_t segmentSize, const std::string& prependPunctuations,
        const std::string& appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) = 0;
};

class SegmentSeeker : public SegmentSeeking {
public:
    SegmentSeeker() = default;

    std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> findSeekPointAndSegments(
        const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
        int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t specialToken,
        const WhisperTokenizer& tokenizer) override;

    // Throws WhisperError (segmentingFailed) unless the matrix has two
    // dimensions.
    AlignmentPath dynamicTimeWarping(const platform::MLMultiArray& withMatrix) const;

    struct StepChoice {
        double cost;
        int trace;
    };
    static StepChoice minCostAndTrace(double costDiagonal, double costUp, double costLeft, double matrixValue);

    // The trace is (rows + 1) x (columns + 1), row-major.
    static AlignmentPath backtrace(const std::vector<int8_t>& fromTraceMatrix, int64_t rows, int64_t columns);

    std::vector<WordTiming> mergePunctuations(const std::vector<WordTiming>& alignment, const std::string& prepended,
                                              const std::string& appended) const;

    // Word timings in seconds from the window's start. `alignmentWeights` has
    // one row per token of wordTokenIds; tokenLogProbs one entry per token.
    std::vector<WordTiming> findAlignment(const std::vector<int64_t>& wordTokenIds, const platform::MLMultiArray& alignmentWeights,
                                          const std::vector<float>& tokenLogProbs, const WhisperTokenizer& tokenizer,
                                          const TranscriptionTimings& timings) const;

    std::optional<std::vector<TranscriptionSegment>> addWordTimestamps(
        const std::vector<TranscriptionSegment>& segments, const platform::MLMultiArray& alignmentWeights,
        const WhisperTokenizer& tokenizer, int64_t seek, int64_t segmentSize, const std::string& prependPunctuations,
        const std::string& appendPunctuations, float lastSpeechTimestamp, const DecodingOptions& options,
        const TranscriptionTimings& timings) override;

    struct WordDurationConstraints {
        float median;
        float max;
    };
    WordDurationConstraints calculateWordDurationConstraints(const std::vector<WordTiming>& alignment) const;

    std::vector<WordTiming> truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                  float maxDuration) const;

    std::vector<TranscriptionSegment> updateSegmentsWithWordTimings(const std::vector<TranscriptionSegment>& segments,
                                                                    const std::vector<WordTiming>& mergedAlignment,
                                                                    int64_t seek, float lastSpeechTimestamp,
                                                                    float constrainedMedianDuration, float maxDuration,
                                                                    const WhisperTokenizer& tokenizer) const;
};

}  // namespace sonoscribe
