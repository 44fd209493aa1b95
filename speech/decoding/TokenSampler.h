#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "platform/coreml/MLMultiArray.h"
#include "platform/foundation/Float16.h"
#include "speech/model/DecodingOptions.h"

namespace sonoscribe {

struct SamplingResult {
    // All tokens so far, the new one last.
    std::vector<int64_t> tokens;
    // One natural-log probability per sampled token.
    std::vector<float> logProbs;
    bool completed = false;

    bool operator==(const SamplingResult&) const = default;
};

// Chooses the next token from one step's logits and grows the lists.
class TokenSampling {
public:
    virtual ~TokenSampling() = default;

    virtual SamplingResult update(const std::vector<int64_t>& tokens, const platform::MLMultiArray& logits,
                                  const std::vector<float>& logProbs) = 0;
    // Ends the lists with the end token.
    virtual SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) = 0;
};

// The most likely token at temperature 0; otherwise a draw among the topK
// likeliest of the temperature-scaled distribution (topK clamped to 1 and the
// vocabulary size).
class GreedyTokenSampler final : public TokenSampling {
public:
    GreedyTokenSampler(platform::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions);
    // Draws from a generator seeded with `seed`, so that runs repeat.
    GreedyTokenSampler(platform::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions, uint64_t seed);

    platform::Float16 temperature;
    int64_t eotToken;
    DecodingOptions decodingOptions;

    SamplingResult update(const std::vector<int64_t>& tokens, const platform::MLMultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override;

private:
    std::mt19937_64 random_;
    // Kept from step to step: a vocabulary-sized row.
    std::vector<float> scores_;
};

// An unfinished sampler that only checks its settings: decoding with it
// throws.
class BeamSearchTokenSampler final : public TokenSampling {
public:
    // Throws std::invalid_argument unless beamSize * patience is at least 1.
    BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience = 1);

    int64_t beamSize;
    int64_t eotToken;
    float patience;
    int64_t maxCandidates;
    std::vector<float> finishedSequences;

    void reset();
    // Both throw std::logic_error.
    SamplingResult update(const std::vector<int64_t>& tokens, const platform::MLMultiArray& logits,
                          const std::vector<float>& logProbs) override;
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override;
};

}  // namespace sonoscribe
