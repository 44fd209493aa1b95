#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/coreml/MLMultiArray.h"
#include "speech/decoding/WhisperTokenizer.h"

namespace sonoscribe {

// Rules tokens out of one step's logits (a half-float [1, 1, V] array) by
// setting their scores to minus infinity, in place; answers the same array.
// `tokens` is the window's token list so far.
class LogitsFiltering {
public:
    virtual ~LogitsFiltering() = default;

    virtual std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                                 const std::vector<int64_t>& withTokens) = 0;
};

// Suppresses the given tokens at every step. Ids outside the logits are
// never written.
class SuppressTokensFilter final : public LogitsFiltering {
public:
    explicit SuppressTokensFilter(std::vector<int64_t> suppressTokens);

    const std::vector<int64_t> suppressTokens;
    const std::vector<std::vector<int64_t>> suppressTokenIndexes;

    std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                         const std::vector<int64_t>& withTokens) override;
};

// Keeps a blank or the end token from being the first sampled token.
class SuppressBlankFilter final : public LogitsFiltering {
public:
    SuppressBlankFilter(SpecialTokens specialTokens, int64_t sampleBegin);

    const SpecialTokens specialTokens;
    const int64_t sampleBegin;
    const std::vector<std::vector<int64_t>> suppressTokenIndexes;

    std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                         const std::vector<int64_t>& withTokens) override;
};

// The grammar of timestamp tokens: they come in pairs, never go back in
// time, and win when together they are likelier than any single text token.
class TimestampRulesFilter final : public LogitsFiltering {
public:
    TimestampRulesFilter(SpecialTokens specialTokens, int64_t sampleBegin, std::optional<int64_t> maxInitialTimestampIndex,
                         bool isModelMultilingual);

    const SpecialTokens specialTokens;
    const int64_t sampleBegin;
    const std::optional<int64_t> maxInitialTimestampIndex;
    const bool isModelMultilingual;

    std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                         const std::vector<int64_t>& withTokens) override;

private:
    static bool sumOfProbabilityOverTimestampsIsAboveAnyOtherToken(const platform::MLMultiArray& logits,
                                                                   int64_t timeTokenBegin);
};

// Leaves only the language tokens selectable.
class LanguageLogitsFilter final : public LogitsFiltering {
public:
    LanguageLogitsFilter(std::set<int64_t> allLanguageTokens, int64_t logitsDim, int64_t sampleBegin);

    const std::set<int64_t> allLanguageTokens;
    const int64_t logitsDim;
    const int64_t sampleBegin;
    const std::vector<std::vector<int64_t>> nonLanguageTokenIndexes;

    std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                         const std::vector<int64_t>& withTokens) override;

private:
    static std::vector<std::vector<int64_t>> getNonLanguageTokenIndexes(int64_t logitsDim,
                                                                        const std::set<int64_t>& allLanguageTokens);
};

}  // namespace sonoscribe
