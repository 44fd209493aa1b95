#include "speech/decoding/SegmentSeeker.h"

#include <algorithm>

namespace sonoscribe {
namespace {

std::string segmentText(const std::vector<int64_t>& tokens, bool skipSpecialTokens, const WhisperTokenizer& tokenizer) {
    if (!skipSpecialTokens) return tokenizer.decode(tokens);
    std::vector<int64_t> text;
    const int64_t specialTokenBegin = tokenizer.specialTokens().specialTokenBegin;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(text),
                 [&](int64_t token) { return token < specialTokenBegin; });
    return tokenizer.decode(text);
}

}  // namespace

std::pair<int64_t, std::optional<std::vector<TranscriptionSegment>>> SegmentSeeker::findSeekPointAndSegments(
    const DecodingResult& decodingResult, const DecodingOptions& options, int64_t allSegmentsCount, int64_t currentSeek,
    int64_t segmentSize, int64_t sampleRate, int64_t timeToken, int64_t /*specialToken*/,
    const WhisperTokenizer& tokenizer) {
    if (options.noSpeechThreshold && decodingResult.noSpeechProb > *options.noSpeechThreshold &&
        !(options.logProbThreshold && decodingResult.avgLogProb > *options.logProbThreshold)) {
        return {currentSeek + segmentSize, std::nullopt};
    }
    const auto rate = static_cast<float>(sampleRate);
    const float timeOffset = static_cast<float>(currentSeek) / rate;
    constexpr float secondsPerTimeToken = 0.02f;
    const std::vector<int64_t>& tokens = decodingResult.tokens;
    const std::size_t count = tokens.size();
    const auto isTimestamp = [&](std::size_t i) { return tokens[i] >= timeToken; };

    const bool hasTail = count >= 3;
    const bool singleTimestampEnding = hasTail && !isTimestamp(count - 3) && isTimestamp(count - 2) && !isTimestamp(count - 1);
    const bool noTimestampEnding = hasTail && !isTimestamp(count - 3) && !isTimestamp(count - 2) && !isTimestamp(count - 1);

    std::vector<std::size_t> sliceEnds;
    for (std::size_t i = 1; i < count; ++i) {
        if (isTimestamp(i - 1) && isTimestamp(i)) sliceEnds.push_back(i);
    }

    const auto makeSegment = [&](std::size_t from, std::size_t to, float start, float end, std::size_t id) {
        TranscriptionSegment segment;
        segment.id = allSegmentsCount + static_cast<int64_t>(id);
        segment.seek = currentSeek;
        segment.start = start;
        segment.end = end;
        segment.tokens.assign(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.begin() + static_cast<std::ptrdiff_t>(to));
        // Log-probabilities pair with tokens where the result has them.
        const std::size_t logProbsEnd = std::min(to, decodingResult.tokenLogProbs.size());
        if (from < logProbsEnd) {
            segment.tokenLogProbs.assign(decodingResult.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(from),
                                         decodingResult.tokenLogProbs.begin() + static_cast<std::ptrdiff_t>(logProbsEnd));
        }
        segment.text = segmentText(segment.tokens, options.skipSpecialTokens, tokenizer);
        segment.temperature = decodingResult.temperature;
        segment.avgLogprob = decodingResult.avgLogProb;
        segment.compressionRatio = decodingResult.compressionRatio;
        segment.noSpeechProb = decodingResult.noSpeechProb;
        return segment;
    };
    const auto timeOf = [&](int64_t token) {
        return timeOffset + static_cast<float>(token - timeToken) * secondsPerTimeToken;
    };

    std::vector<TranscriptionSegment> segments;
    int64_t seek = currentSeek + segmentSize;
    if (!sliceEnds.empty()) {
        if (singleTimestampEnding) {
            std::size_t lastTimestamp = count - 1;
            while (!isTimestamp(lastTimestamp)) --lastTimestamp;
            sliceEnds.push_back(lastTimestamp + 1);
        } else if (noTimestampEnding) {
            sliceEnds.push_back(count);
        }
        std::size_t sliceStart = 0;
        for (const std::size_t sliceEnd : sliceEnds) {
            std::vector<int64_t> stamps;
            for (std::size_t i = sliceStart; i < sliceEnd; ++i) {
                if (isTimestamp(i)) stamps.push_back(tokens[i]);
            }
            const float start = stamps.empty() ? timeOffset : timeOf(stamps.front());
            const float end = stamps.empty() ? timeOffset : timeOf(stamps.back());
            segments.push_back(makeSegment(sliceStart, sliceEnd, start, end, segments.size()));
            sliceStart = sliceEnd;
        }
        if (!noTimestampEnding) {
            const std::size_t last = sliceEnds.back();
            const int64_t token = tokens[singleTimestampEnding ? last - 1 : std::min(last, count - 1)];
            seek = currentSeek + static_cast<int64_t>(static_cast<float>(token - timeToken) * secondsPerTimeToken * rate);
        }
    } else {
        float duration = static_cast<float>(segmentSize) / rate;
        const auto lastStamp = std::find_if(tokens.rbegin(), tokens.rend(), [&](int64_t token) { return token > timeToken; });
        if (lastStamp != tokens.rend()) duration = static_cast<float>(*lastStamp - timeToken) * secondsPerTimeToken;
        segments.push_back(makeSegment(0, count, timeOffset, timeOffset + duration, 0));
    }
    return {seek, std::move(segments)};
}

}  // namespace sonoscribe
