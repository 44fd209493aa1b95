#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string_view>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/foundation/MLMultiArrayExtensions.h"
#include "platform/coreml/runtime/Half.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"
#include "speech/decoding/ArrayElements.h"
#include "speech/decoding/SegmentSeeker.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using platform::Float16;
using platform::MLMultiArray;

constexpr float secondsPerFrame = 0.02f;

bool isSentenceEnd(const std::string& word) {
    static constexpr std::array<std::string_view, 6> marks{".", "\u3002", "!", "\uff01", "?", "\uff1f"};
    return std::find(marks.begin(), marks.end(), word) != marks.end();
}

bool isIn(const std::string& word, const std::string& punctuation) {
    return punctuation.find(platform::text::trimmingWhitespaces(word)) != std::string::npos;
}

bool beginsWithWhitespace(const std::string& text) {
    const std::u32string scalars = platform::text::toScalars(text);
    return !scalars.empty() && platform::text::isWhiteSpace(scalars.front());
}

// The matrix's elements as floats, row-major, read through its strides.
std::vector<float> matrixValues(const MLMultiArray& matrix) {
    const int64_t rows = matrix.shape()[0];
    const int64_t columns = matrix.shape()[1];
    std::vector<float> values(static_cast<std::size_t>(rows * columns));
    const bool halfRows = matrix.dataType() == platform::MLMultiArrayDataType::float16 && matrix.strides()[1] == 1;
    for (int64_t r = 0; r < rows; ++r) {
        float* row = values.data() + r * columns;
        if (halfRows) {
            platform::coreml::runtime::widen(matrix.buffer<Float16>().data() + r * matrix.strides()[0], row,
                                             static_cast<std::size_t>(columns));
        } else {
            for (int64_t c = 0; c < columns; ++c) row[c] = static_cast<float>(elementValue(matrix, r * columns + c));
        }
    }
    return values;
}

std::string shape(const MLMultiArray& array) {
    std::string text = "[";
    for (std::size_t i = 0; i < array.shape().size(); ++i) text += (i ? ", " : "") + std::to_string(array.shape()[i]);
    return text + "]";
}

std::vector<int64_t> textTokensOf(const std::vector<int64_t>& tokens, int64_t specialTokenBegin) {
    std::vector<int64_t> text;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
                 [&](int64_t token) { return token < specialTokenBegin; });
    return text;
}

}  // namespace

SegmentSeeker::StepChoice SegmentSeeker::minCostAndTrace(double costDiagonal, double costUp, double costLeft,
                                                         double /*matrixValue*/) {
    if (costDiagonal < costUp && costDiagonal < costLeft) return {costDiagonal, 0};
    if (costUp < costDiagonal && costUp < costLeft) return {costUp, 1};
    return {costLeft, 2};
}

AlignmentPath SegmentSeeker::backtrace(const std::vector<int8_t>& fromTraceMatrix, int64_t rows, int64_t columns) {
    AlignmentPath path;
    int64_t i = rows;
    int64_t j = columns;
    const int64_t width = columns + 1;
    while (i > 0 || j > 0) {
        path.textIndices.push_back(i - 1);
        path.timeIndices.push_back(j - 1);
        switch (fromTraceMatrix[static_cast<std::size_t>(i * width + j)]) {
        case 0: --i; --j; break;
        case 1: --i; break;
        case 2: --j; break;
        // Unreachable from a filled trace; stops a walk that would not end.
        default: i = 0; j = 0; break;
        }
    }
    std::reverse(path.textIndices.begin(), path.textIndices.end());
    std::reverse(path.timeIndices.begin(), path.timeIndices.end());
    return path;
}

AlignmentPath SegmentSeeker::dynamicTimeWarping(const MLMultiArray& withMatrix) const {
    if (withMatrix.shape().size() != 2) throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    const int64_t rows = withMatrix.shape()[0];
    const int64_t columns = withMatrix.shape()[1];
    const auto width = static_cast<std::size_t>(columns + 1);
    // Each row of costs needs only the row before it; the trace keeps every
    // cell for the walk back.
    std::vector<double> previous(width, std::numeric_limits<double>::infinity());
    std::vector<double> current(width);
    std::vector<int8_t> trace(static_cast<std::size_t>(rows + 1) * width, -1);
    previous[0] = 0;
    for (std::size_t j = 1; j < width; ++j) trace[j] = 2;
    const std::vector<float> values = matrixValues(withMatrix);
    for (std::size_t i = 1; i <= static_cast<std::size_t>(rows); ++i) {
        trace[i * width] = 1;
        current[0] = std::numeric_limits<double>::infinity();
        const float* row = values.data() + (i - 1) * (width - 1);
        int8_t* rowTrace = trace.data() + i * width;
        for (std::size_t j = 1; j < width; ++j) {
            const double value = row[j - 1];
            const StepChoice choice =
                minCostAndTrace(previous[j - 1] - value, previous[j] - value, current[j - 1] - value, value);
            current[j] = choice.cost;
            rowTrace[j] = static_cast<int8_t>(choice.trace);
        }
        std::swap(previous, current);
    }
    return backtrace(trace, rows, columns);
}

std::vector<WordTiming> SegmentSeeker::findAlignment(const std::vector<int64_t>& wordTokenIds,
                                                     const MLMultiArray& alignmentWeights,
                                                     const std::vector<float>& tokenLogProbs,
                                                     const WhisperTokenizer& tokenizer,
                                                     const TranscriptionTimings& /*timings*/) const {
    const AlignmentPath path = dynamicTimeWarping(alignmentWeights);
    const WordTokens split = tokenizer.splitToWordTokens(wordTokenIds);
    if (split.words.size() < 2) return {};

    std::vector<float> jumpTimes;
    for (std::size_t k = 0; k < path.textIndices.size(); ++k) {
        if (k > 0 && path.textIndices[k] != path.textIndices[k - 1]) {
            jumpTimes.push_back(static_cast<float>(path.timeIndices[k]) * secondsPerFrame);
        }
    }
    std::vector<float> startTimes{0};
    startTimes.insert(startTimes.end(), jumpTimes.begin(), jumpTimes.end());
    std::vector<float> endTimes = jumpTimes;
    endTimes.push_back(path.timeIndices.empty() ? 1500 * secondsPerFrame
                                                : static_cast<float>(path.timeIndices.back()) * secondsPerFrame);

    std::vector<WordTiming> words;
    std::size_t first = 0;
    for (std::size_t w = 0; w < split.words.size(); ++w) {
        const std::vector<int64_t>& tokens = split.wordTokens[w];
        const std::size_t last = first + tokens.size() - 1;
        // A path shorter than the tokens has no times for the rest.
        if (tokens.empty() || last >= startTimes.size() || last >= endTimes.size()) break;
        double logProbSum = 0;
        for (std::size_t t = first; t <= last && t < tokenLogProbs.size(); ++t) logProbSum += tokenLogProbs[t];
        const auto probability = static_cast<float>(std::exp(logProbSum / static_cast<double>(tokens.size())));
        words.push_back(WordTiming{split.words[w], tokens, startTimes[first], endTimes[last], probability});
        first = last + 1;
    }
    return words;
}

SegmentSeeker::WordDurationConstraints SegmentSeeker::calculateWordDurationConstraints(
    const std::vector<WordTiming>& alignment) const {
    std::vector<float> durations;
    for (const WordTiming& word : alignment) {
        if (word.duration() > 0) durations.push_back(word.duration());
    }
    std::sort(durations.begin(), durations.end());
    float median = durations.empty() ? 0.0f : durations[durations.size() / 2];
    median = std::min(median, 0.7f);
    return {median, 2 * median};
}

std::vector<WordTiming> SegmentSeeker::truncateLongWordsAtSentenceBoundaries(const std::vector<WordTiming>& alignment,
                                                                             float maxDuration) const {
    std::vector<WordTiming> words = alignment;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].duration() <= maxDuration) continue;
        if (isSentenceEnd(words[i].word)) {
            words[i].end = words[i].start + maxDuration;
        } else if (isSentenceEnd(words[i - 1].word)) {
            words[i].start = words[i].end - maxDuration;
        }
    }
    return words;
}

std::vector<WordTiming> SegmentSeeker::mergePunctuations(const std::vector<WordTiming>& alignment,
                                                         const std::string& prepended,
                                                         const std::string& appended) const {
    if (alignment.empty()) return {};
    const auto joined = [](const WordTiming& head, const WordTiming& tail, const WordTiming& times) {
        WordTiming word = times;
        word.word = head.word + tail.word;
        word.tokens = head.tokens;
        word.tokens.insert(word.tokens.end(), tail.tokens.begin(), tail.tokens.end());
        return word;
    };
    std::vector<WordTiming> withPrepended;
    if (!isIn(alignment.front().word, prepended)) withPrepended.push_back(alignment.front());
    for (std::size_t i = 1; i < alignment.size(); ++i) {
        const WordTiming& previous = alignment[i - 1];
        const WordTiming& word = alignment[i];
        if (beginsWithWhitespace(previous.word) && isIn(previous.word, prepended)) {
            if (withPrepended.empty()) {
                withPrepended.push_back(joined(previous, word, word));
            } else {
                withPrepended.back() = joined(withPrepended.back(), word, word);
            }
        } else {
            withPrepended.push_back(word);
        }
    }
    if (withPrepended.empty()) return {};

    std::vector<WordTiming> merged{withPrepended.front()};
    for (std::size_t i = 1; i < withPrepended.size(); ++i) {
        const WordTiming& previous = withPrepended[i - 1];
        const WordTiming& word = withPrepended[i];
        if (!previous.word.ends_with(' ') && isIn(word.word, appended)) {
            merged.back() = joined(merged.back(), word, merged.back());
        } else {
            merged.push_back(word);
        }
    }
    std::erase_if(merged, [&](const WordTiming& word) {
        return word.word.empty() || appended.find(word.word) != std::string::npos ||
               prepended.find(word.word) != std::string::npos;
    });
    return merged;
}

std::optional<std::vector<TranscriptionSegment>> SegmentSeeker::addWordTimestamps(
    const std::vector<TranscriptionSegment>& segments, const MLMultiArray& alignmentWeights, const WhisperTokenizer& tokenizer,
    int64_t seek, int64_t /*segmentSize*/, const std::string& prependPunctuations, const std::string& appendPunctuations,
    float lastSpeechTimestamp, const DecodingOptions& /*options*/, const TranscriptionTimings& timings) {
    // Row r of the weights belongs to the r-th token of the window; every
    // token keeps its own log-probability, so words and probabilities line up.
    std::vector<int64_t> wordTokenIds;
    std::vector<float> tokenLogProbs;
    for (const TranscriptionSegment& segment : segments) {
        for (std::size_t i = 0; i < segment.tokens.size(); ++i) {
            const int64_t token = segment.tokens[i];
            wordTokenIds.push_back(token);
            float logProb = 0;
            if (i < segment.tokenLogProbs.size()) {
                const auto found = segment.tokenLogProbs[i].find(token);
                if (found != segment.tokenLogProbs[i].end()) logProb = found->second;
            }
            tokenLogProbs.push_back(logProb);
        }
    }
    if (alignmentWeights.shape().empty()) throw WhisperError::segmentingFailed("Invalid shape in alignmentWeights");
    if (alignmentWeights.shape().size() != 2) throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
    const int64_t frames = alignmentWeights.shape().back();
    const int64_t availableRows = alignmentWeights.shape().front();
    const auto tokenCount = static_cast<int64_t>(wordTokenIds.size());
    std::vector<WordTiming> words;
    if (tokenCount > 0 && frames > 0) {
        auto rows = celvan::makeMultiArray({tokenCount, frames}, alignmentWeights.dataType(), Float16{0});
        copyRows(alignmentWeights, 0, *rows, std::min(tokenCount, availableRows));
        Logging::debug("Alignment weights shape: " + shape(*rows));
        words = findAlignment(wordTokenIds, *rows, tokenLogProbs, tokenizer, timings);
    }
    const auto [median, maxDuration] = calculateWordDurationConstraints(words);
    words = truncateLongWordsAtSentenceBoundaries(words, maxDuration);
    if (!words.empty()) words = mergePunctuations(words, prependPunctuations, appendPunctuations);
    return updateSegmentsWithWordTimings(segments, words, seek, lastSpeechTimestamp, median, maxDuration, tokenizer);
}

std::vector<TranscriptionSegment> SegmentSeeker::updateSegmentsWithWordTimings(
    const std::vector<TranscriptionSegment>& segments, const std::vector<WordTiming>& mergedAlignment, int64_t seek,
    float lastSpeechTimestamp, float constrainedMedianDuration, float maxDuration, const WhisperTokenizer& tokenizer) const {
    const float seekTime = static_cast<float>(seek) / 16000.0f;
    const float median = constrainedMedianDuration;
    const int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    std::vector<TranscriptionSegment> updated;
    std::size_t wordIndex = 0;
    std::optional<float> previousSegmentEnd;
    for (TranscriptionSegment segment : segments) {
        const std::size_t segmentTextTokens = textTokensOf(segment.tokens, specialTokenBegin).size();
        std::size_t consumed = 0;
        std::vector<WordTiming> words;
        while (wordIndex < mergedAlignment.size() && consumed < segmentTextTokens) {
            WordTiming word = mergedAlignment[wordIndex++];
            const std::vector<int64_t> textTokens = textTokensOf(word.tokens, specialTokenBegin);
            if (textTokens.empty()) continue;
            if (textTokens.size() != word.tokens.size()) word.word = tokenizer.decode(textTokens);
            word.tokens = textTokens;
            word.start = celvan::rounded(seekTime + word.start, 2);
            word.end = celvan::rounded(seekTime + word.end, 2);
            const std::optional<float> previousEnd = words.empty() ? previousSegmentEnd : std::optional(words.back().end);
            if (word.end - word.start < 0.25f * median && previousEnd && *previousEnd < word.start) {
                word.start = celvan::rounded(word.start - std::min(word.start - *previousEnd, 0.5f * median), 2);
            }
            word.probability = celvan::rounded(word.probability, 2);
            consumed += textTokens.size();
            words.push_back(std::move(word));
        }
        if (!words.empty()) {
            WordTiming& firstWord = words.front();
            const float gap = firstWord.end - lastSpeechTimestamp;
            if (words.size() == 1) {
                if (gap > 4 * median && firstWord.duration() > maxDuration) {
                    firstWord.start = std::max(firstWord.end - maxDuration, lastSpeechTimestamp);
                }
            } else {
                WordTiming& secondWord = words[1];
                if (gap > 4 * median &&
                    (firstWord.duration() > maxDuration || secondWord.end - firstWord.start > 2 * maxDuration)) {
                    if (secondWord.duration() > maxDuration) {
                        const float boundary = std::max(secondWord.end - maxDuration, secondWord.end * 0.5f);
                        firstWord.end = boundary;
                        secondWord.start = boundary;
                    }
                    firstWord.start = std::max(firstWord.end - maxDuration, lastSpeechTimestamp);
                }
            }
            if (firstWord.end > segment.start && segment.start - firstWord.start > 0.5f) {
                firstWord.start = std::max(0.0f, std::min(segment.start, firstWord.end - median));
            } else {
                segment.start = firstWord.start;
            }
            WordTiming& lastWord = words.back();
            if (lastWord.start < segment.end && lastWord.end - segment.end > 0.5f) {
                lastWord.end = std::max(segment.end, lastWord.start + median);
            } else {
                segment.end = lastWord.end;
            }
            lastSpeechTimestamp = segment.end;
        }
        previousSegmentEnd = segment.end;
        segment.words = std::move(words);
        updated.push_back(std::move(segment));
    }
    return updated;
}

}  // namespace sonoscribe
