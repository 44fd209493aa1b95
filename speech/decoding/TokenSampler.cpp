#include "speech/decoding/TokenSampler.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

#include "platform/foundation/NumberFormatting.h"
#include "speech/decoding/HalfFloatValues.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

// log(sum of exp(value)) given the largest value, leaving exp(value - peak)
// in `values`.
double logSumExp(std::vector<float>& values, float peak) {
    if (!std::isfinite(peak)) return peak;
    return peak + std::log(expSumBelow(values.data(), values.size(), peak));
}

}  // namespace

GreedyTokenSampler::GreedyTokenSampler(platform::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions)
    : GreedyTokenSampler(temperature, eotToken, std::move(decodingOptions), std::random_device{}()) {}

GreedyTokenSampler::GreedyTokenSampler(platform::Float16 temperature, int64_t eotToken, DecodingOptions decodingOptions,
                                       uint64_t seed)
    : temperature(temperature), eotToken(eotToken), decodingOptions(std::move(decodingOptions)), random_(seed) {}

SamplingResult GreedyTokenSampler::update(const std::vector<int64_t>& tokens, const platform::MLMultiArray& logits,
                                          const std::vector<float>& logProbs) {
    std::vector<float>& scores = scores_;
    widenValues(logits, scores);
    if (scores.empty()) throw std::invalid_argument("Cannot sample from empty logits");
    // A NaN score is no candidate: as minus infinity it can neither win nor
    // spoil the sums.
    std::size_t numbers = 0;
    for (float& value : scores) {
        const bool isNumber = !std::isnan(value);
        numbers += isNumber;
        value = isNumber ? value : -std::numeric_limits<float>::infinity();
    }
    if (numbers == 0) throw WhisperError::decodingFailed("Decoding failed: no logit of the step is a number");
    const float scale = static_cast<float>(temperature);
    if (scale != 0) {
        for (float& value : scores) value /= scale;
    }
    const float bestScore = largestValue(scores.data(), scores.size());
    const auto best = static_cast<std::size_t>(std::find(scores.begin(), scores.end(), bestScore) - scores.begin());
    // After this, scores hold exp(score - best score).
    const double total = logSumExp(scores, bestScore);
    std::size_t token = best;
    float logProb = static_cast<float>(bestScore - total);
    if (scale != 0 && std::isfinite(total)) {
        // A top-k outside 1 ... vocabulary would draw from nothing or read
        // past the candidates.
        const auto k = static_cast<std::size_t>(std::clamp<int64_t>(decodingOptions.topK, 1, static_cast<int64_t>(scores.size())));
        std::vector<std::size_t> ranked(scores.size());
        std::iota(ranked.begin(), ranked.end(), std::size_t{0});
        std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(k), ranked.end(),
                          [&](std::size_t a, std::size_t b) { return scores[a] > scores[b] || (scores[a] == scores[b] && a < b); });
        double candidates = 0;
        for (std::size_t rank = 0; rank < k; ++rank) candidates += scores[ranked[rank]];
        const double threshold = std::uniform_real_distribution<double>(0.0, 1.0)(random_) * candidates;
        std::size_t chosen = 0;
        double running = 0;
        for (std::size_t rank = 0; rank < k; ++rank) {
            running += scores[ranked[rank]];
            if (running > threshold) {
                chosen = rank;
                break;
            }
        }
        token = ranked[chosen];
        logProb = static_cast<float>(std::log(static_cast<double>(scores[token])) + bestScore - total);
    }
    SamplingResult result{tokens, logProbs, false};
    result.tokens.push_back(static_cast<int64_t>(token));
    result.logProbs.push_back(logProb);
    result.completed = static_cast<int64_t>(token) == eotToken;
    return result;
}

SamplingResult GreedyTokenSampler::finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) {
    SamplingResult result{tokens, logProbs, true};
    if (tokens.empty() || tokens.back() != eotToken) {
        result.tokens.push_back(eotToken);
        result.logProbs.push_back(0.0f);
    }
    return result;
}

BeamSearchTokenSampler::BeamSearchTokenSampler(int64_t beamSize, int64_t eotToken, float patience)
    : beamSize(beamSize),
      eotToken(eotToken),
      patience(patience),
      maxCandidates(0) {
    const float candidates = static_cast<float>(beamSize) * patience;
    if (!(candidates >= 1.0f && candidates < 9.0e18f)) {
        throw std::invalid_argument("Invalid beam size " + std::to_string(beamSize) + " or patience " +
                                    platform::description(patience));
    }
    maxCandidates = static_cast<int64_t>(candidates);
}

void BeamSearchTokenSampler::reset() { finishedSequences.clear(); }

SamplingResult BeamSearchTokenSampler::update(const std::vector<int64_t>&, const platform::MLMultiArray&,
                                              const std::vector<float>&) {
    throw std::logic_error("Not implemented: update(tokens:logits:logProbs:)");
}

SamplingResult BeamSearchTokenSampler::finalize(const std::vector<int64_t>&, const std::vector<float>&) {
    throw std::logic_error("Not implemented: finalize(tokens:logProbs:)");
}

}  // namespace sonoscribe
