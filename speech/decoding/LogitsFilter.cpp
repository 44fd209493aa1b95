#include "speech/decoding/LogitsFilter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "speech/decoding/HalfFloatValues.h"

namespace sonoscribe {
namespace {

using platform::Float16;
using platform::MLMultiArray;

// The standard library has no limits for the half type.
const Float16 minusInfinity = static_cast<Float16>(-std::numeric_limits<float>::infinity());

std::vector<std::vector<int64_t>> rowIndexes(const std::vector<int64_t>& tokens) {
    std::vector<std::vector<int64_t>> indexes;
    indexes.reserve(tokens.size());
    for (const int64_t token : tokens) indexes.push_back({0, 0, token});
    return indexes;
}

int64_t vocabularySize(const MLMultiArray& logits) { return logits.shape().empty() ? 0 : logits.shape().back(); }

// Writes go along the last dimension of the single row; ids outside it, and
// logits of another element type, are left alone rather than written past.
void suppressRange(MLMultiArray& logits, int64_t begin, int64_t end) {
    if (logits.dataType() != platform::MLMultiArrayDataType::float16) return;
    begin = std::max<int64_t>(begin, 0);
    end = std::min(end, vocabularySize(logits));
    const auto storage = logits.buffer<Float16>();
    const int64_t stride = logits.strides().back();
    for (int64_t token = begin; token < end; ++token) storage[static_cast<std::size_t>(token * stride)] = minusInfinity;
}

void suppressIndexes(MLMultiArray& logits, const std::vector<std::vector<int64_t>>& indexes) {
    for (const auto& index : indexes) suppressRange(logits, index.back(), index.back() + 1);
}

}  // namespace

SuppressTokensFilter::SuppressTokensFilter(std::vector<int64_t> suppressTokens)
    : suppressTokens(std::move(suppressTokens)), suppressTokenIndexes(rowIndexes(this->suppressTokens)) {}

std::shared_ptr<MLMultiArray> SuppressTokensFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>&) {
    suppressIndexes(*logits, suppressTokenIndexes);
    return logits;
}

SuppressBlankFilter::SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      suppressTokenIndexes(rowIndexes({specialTokens.whitespaceToken, specialTokens.endToken})) {}

std::shared_ptr<MLMultiArray> SuppressBlankFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                const std::vector<int64_t>& withTokens) {
    if (static_cast<int64_t>(withTokens.size()) == sampleBegin) suppressIndexes(*logits, suppressTokenIndexes);
    return logits;
}

TimestampRulesFilter::TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin,
                                           std::optional<int64_t> maxInitialTimestampIndex, bool isModelMultilingual)
    : specialTokens(specialTokens),
      sampleBegin(sampleBegin),
      maxInitialTimestampIndex(maxInitialTimestampIndex),
      isModelMultilingual(isModelMultilingual) {}

std::shared_ptr<MLMultiArray> TimestampRulesFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>& withTokens) {
    const auto& tokens = withTokens;
    const int64_t count = static_cast<int64_t>(tokens.size());
    int64_t begin = sampleBegin;
    if (isModelMultilingual) {
        // The task token sits right after the start of the transcript, which a
        // previous-text prompt pushes further into the list.
        const auto start = std::find(tokens.begin(), tokens.end(), specialTokens.startOfTranscriptToken);
        const auto searchFrom = start == tokens.end() ? tokens.begin() : start + 1;
        const auto searchTo = tokens.end() - searchFrom > 2 ? searchFrom + 2 : tokens.end();
        const auto task = std::find_if(searchFrom, searchTo, [&](int64_t token) {
            return token == specialTokens.transcribeToken || token == specialTokens.translateToken;
        });
        if (task == searchTo) return logits;
        begin = std::max<int64_t>(task - tokens.begin() + 1, sampleBegin);
    }
    if (count < begin) return logits;

    const int64_t timeTokenBegin = specialTokens.timeTokenBegin;
    const int64_t vocabulary = vocabularySize(*logits);
    suppressRange(*logits, specialTokens.noTimestampsToken, specialTokens.noTimestampsToken + 1);

    if (count > begin) {
        const std::vector<int64_t> sampled(tokens.begin() + begin, tokens.end());
        const bool lastWasTimestamp = sampled.back() >= timeTokenBegin;
        const bool penultimateWasTimestamp = sampled.size() < 2 || sampled[sampled.size() - 2] >= timeTokenBegin;
        if (lastWasTimestamp) {
            if (penultimateWasTimestamp) {
                suppressRange(*logits, timeTokenBegin, vocabulary);
            } else {
                suppressRange(*logits, 0, specialTokens.endToken);
            }
        }
        const auto lastTimestamp = std::find_if(sampled.rbegin(), sampled.rend(),
                                                [&](int64_t token) { return token >= timeTokenBegin; });
        if (lastTimestamp != sampled.rend()) {
            const bool closingPair = lastWasTimestamp && !penultimateWasTimestamp;
            suppressRange(*logits, timeTokenBegin, *lastTimestamp + (closingPair ? 0 : 1));
        }
    }

    if (sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(*logits, timeTokenBegin)) {
        suppressRange(*logits, 0, timeTokenBegin);
    }
    return logits;
}

bool TimestampRulesFilter::sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const MLMultiArray& logits,
                                                                              int64_t timeTokenBegin) {
    if (logits.dataType() != platform::MLMultiArrayDataType::float16) return false;
    if (timeTokenBegin <= 0 || timeTokenBegin >= logits.count()) return false;
    // One buffer per thread for the vocabulary-sized row, kept across steps.
    thread_local std::vector<float> scores;
    widenValues(logits, scores);
    const auto offset = static_cast<std::ptrdiff_t>(timeTokenBegin);
    const auto count = static_cast<int64_t>(scores.size());
    const float maxText = largestValue(scores.data(), static_cast<std::size_t>(offset));
    const float peak = std::max(maxText, largestValue(scores.data() + offset, static_cast<std::size_t>(count - offset)));
    // Every score ruled out: nothing to compare.
    if (!std::isfinite(peak)) return false;
    const double timestampSum = expSumBelow(scores.data() + offset, static_cast<std::size_t>(count - offset), peak);
    const double textSum = expSumBelow(scores.data(), static_cast<std::size_t>(offset), peak);
    const double total = peak + std::log(timestampSum + textSum);
    const double timestampLogProb = peak + std::log(timestampSum) - total;
    const double maxTextTokenLogProb = maxText - total;
    return static_cast<Float16>(maxTextTokenLogProb) < static_cast<Float16>(timestampLogProb);
}

LanguageLogitsFilter::LanguageLogitsFilter(std::set<int64_t> allLanguageTokens, int64_t logitsDim, int64_t sampleBegin)
    : allLanguageTokens(std::move(allLanguageTokens)),
      logitsDim(logitsDim),
      sampleBegin(sampleBegin),
      nonLanguageTokenIndexes(getNonLanguageTokenIndexes(logitsDim, this->allLanguageTokens)) {}

std::shared_ptr<MLMultiArray> LanguageLogitsFilter::filterLogits(std::shared_ptr<MLMultiArray> logits,
                                                                 const std::vector<int64_t>& withTokens) {
    if (static_cast<int64_t>(withTokens.size()) >= sampleBegin) suppressIndexes(*logits, nonLanguageTokenIndexes);
    return logits;
}

std::vector<std::vector<int64_t>> LanguageLogitsFilter::getNonLanguageTokenIndexes(int64_t logitsDim,
                                                                                   const std::set<int64_t>& allLanguageTokens) {
    std::vector<std::vector<int64_t>> indexes;
    for (int64_t token = 0; token < logitsDim; ++token) {
        if (!allLanguageTokens.contains(token)) indexes.push_back({0, 0, token});
    }
    return indexes;
}

}  // namespace sonoscribe
