#include "speech/engine/TranscriptionUtilities.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "platform/text/CaseMapping.h"
#include "platform/text/UnicodeProperties.h"
#include "platform/text/Utf.h"

namespace sonoscribe {
namespace {

std::string normalizedWord(const std::string& word) {
    std::string text;
    bool lastWasSpace = false;
    for (char32_t scalar : platform::text::toScalars(platform::text::lowercased(word))) {
        if (scalar == U'-') scalar = U' ';
        if (platform::text::isPunctuation(scalar)) continue;
        if (scalar == U' ') {
            if (lastWasSpace) continue;
            lastWasSpace = true;
        } else {
            lastWasSpace = false;
        }
        platform::text::appendUtf8(text, scalar);
    }
    return std::string(platform::text::trimmingWhitespacesAndNewlines(text));
}

std::size_t commonPrefixLength(const std::vector<WordTiming>& first, const std::vector<WordTiming>& second) {
    std::size_t length = 0;
    while (length < first.size() && length < second.size() &&
           normalizedWord(first[length].word) == normalizedWord(second[length].word)) {
        ++length;
    }
    return length;
}

TranscriptionTimings mergedTimings(const std::vector<std::shared_ptr<TranscriptionResult>>& valid) {
    TranscriptionTimings merged;
    std::vector<TranscriptionTimings> all;
    for (const auto& result : valid) all.push_back(result->timings());
    auto smallest = [&](double TranscriptionTimings::*field) {
        if (all.empty()) return 0.0;
        double value = all.front().*field;
        for (const auto& timings : all) value = std::min(value, timings.*field);
        return value;
    };
    auto largest = [&](double TranscriptionTimings::*field) {
        if (all.empty()) return 0.0;
        double value = all.front().*field;
        for (const auto& timings : all) value = std::max(value, timings.*field);
        return value;
    };
    auto sum = [&](double TranscriptionTimings::*field) {
        double value = 0;
        for (const auto& timings : all) value += timings.*field;
        return value;
    };

    using T = TranscriptionTimings;
    for (double T::*field : {&T::pipelineStart, &T::firstTokenTime}) merged.*field = smallest(field);
    for (double T::*field : {&T::modelLoading, &T::prewarmLoadTime, &T::encoderLoadTime, &T::decoderLoadTime,
                             &T::tokenizerLoadTime}) {
        merged.*field = largest(field);
    }
    merged.encoderSpecializationTime = 0;
    merged.decoderSpecializationTime = 0;
    for (double T::*field :
         {&T::inputAudioSeconds, &T::audioLoading, &T::audioProcessing, &T::logmels, &T::encoding, &T::decodingInit,
          &T::decodingLoop, &T::decodingPredictions, &T::decodingFiltering, &T::decodingSampling,
          &T::decodingFallback, &T::decodingWindowing, &T::decodingKvCaching, &T::decodingWordTimestamps,
          &T::decodingNonPrediction, &T::totalAudioProcessingRuns, &T::totalLogmelRuns, &T::totalEncodingRuns,
          &T::totalDecodingLoops, &T::totalKVUpdateRuns, &T::totalTimestampAlignmentRuns,
          &T::totalDecodingFallbacks, &T::totalDecodingWindows}) {
        merged.*field = sum(field);
    }
    double latestEnd = 0;
    for (std::size_t i = 0; i < all.size(); ++i) {
        const double end = all[i].pipelineStart + all[i].fullPipeline;
        latestEnd = i == 0 ? end : std::max(latestEnd, end);
    }
    merged.fullPipeline = all.empty() ? 0 : std::min(sum(&T::fullPipeline), latestEnd - merged.pipelineStart);
    return merged;
}

}  // namespace

TranscriptionSegment TranscriptionUtilities::updateSegmentTimings(const TranscriptionSegment& segment, float seekTime) {
    TranscriptionSegment updated = segment;
    updated.seek += static_cast<int64_t>(seekTime * 16000.0f);
    updated.start += seekTime;
    updated.end += seekTime;
    if (updated.words) {
        for (WordTiming& word : *updated.words) {
            word.start += seekTime;
            word.end += seekTime;
        }
    }
    return updated;
}

std::vector<std::string> TranscriptionUtilities::formatSegments(const std::vector<TranscriptionSegment>& segments,
                                                                bool withTimestamps) {
    std::vector<std::string> lines;
    lines.reserve(segments.size());
    for (const TranscriptionSegment& segment : segments) {
        if (!withTimestamps) {
            lines.push_back(segment.text);
            continue;
        }
        char times[128];
        std::snprintf(times, sizeof times, "[%.2f --> %.2f] ", segment.start, segment.end);
        lines.push_back(times + segment.text);
    }
    return lines;
}

std::vector<WordTiming> TranscriptionUtilities::findLongestCommonPrefix(const std::vector<WordTiming>& first,
                                                                        const std::vector<WordTiming>& second) {
    const auto length = static_cast<std::ptrdiff_t>(commonPrefixLength(first, second));
    return {second.begin(), second.begin() + length};
}

std::vector<WordTiming> TranscriptionUtilities::findLongestDifferentSuffix(const std::vector<WordTiming>& first,
                                                                           const std::vector<WordTiming>& second) {
    const auto length = static_cast<std::ptrdiff_t>(commonPrefixLength(first, second));
    return {second.begin() + length, second.end()};
}

std::shared_ptr<TranscriptionResult> TranscriptionUtilities::mergeTranscriptionResults(
    const std::vector<std::shared_ptr<TranscriptionResult>>& results,
    const std::optional<std::vector<WordTiming>>& confirmedWords) {
    std::string text;
    if (confirmedWords) {
        for (const WordTiming& word : *confirmedWords) text += word.word;
    } else {
        for (std::size_t i = 0; i < results.size(); ++i) {
            if (i > 0) text += " ";
            if (results[i]) text += results[i]->text();
        }
    }

    std::vector<std::shared_ptr<TranscriptionResult>> valid;
    for (const auto& result : results) {
        if (result) valid.push_back(result);
    }

    std::vector<TranscriptionSegment> segments;
    for (std::size_t resultIndex = 0; resultIndex < valid.size(); ++resultIndex) {
        const std::vector<TranscriptionSegment> own = valid[resultIndex]->segments();
        for (std::size_t segmentIndex = 0; segmentIndex < own.size(); ++segmentIndex) {
            TranscriptionSegment segment = own[segmentIndex];
            segment.id = static_cast<int64_t>(resultIndex + segmentIndex);
            segments.push_back(std::move(segment));
        }
    }

    const std::string language = valid.empty() ? std::string("en") : valid.front()->language();
    return std::make_shared<TranscriptionResult>(std::move(text), std::move(segments), language, mergedTimings(valid),
                                                 std::nullopt);
}

}  // namespace sonoscribe
