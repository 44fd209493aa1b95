#include <algorithm>
#include <limits>
#include <mutex>
#include <numeric>

#include "mlcore/foundation/FoundationExtensions.h"
#include "platform/concurrency/Task.h"
#include "platform/foundation/UUID.h"
#include "speech/decoding/AbsoluteTime.h"
#include "speech/decoding/ArrayElements.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/decoding/TextUtilities.h"
#include "speech/model/DecodingFallback.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using platform::MLMultiArray;

// One window's early-stop flag. A progress callback may answer after the
// window has ended; its stop must then not bring back a flag that nobody
// will remove.
class EarlyStopFlag {
public:
    EarlyStopFlag(std::shared_ptr<celvan::EarlyStopActor> actor, platform::UUID windowUUID)
        : actor_(std::move(actor)), windowUUID_(windowUUID) {
        actor_->set(false, windowUUID_);
    }

    void requestStop() {
        std::lock_guard guard(mutex_);
        if (open_) actor_->set(true, windowUUID_);
    }

    bool shouldStop() const { return actor_->get(windowUUID_); }

    void close() {
        std::optional<bool> removed;
        {
            std::lock_guard guard(mutex_);
            open_ = false;
            removed = actor_->remove(windowUUID_);
        }
        if (!removed) Logging::error("Early stop flag not found for window: " + windowUUID_.uuidString());
    }

private:
    std::shared_ptr<celvan::EarlyStopActor> actor_;
    platform::UUID windowUUID_;
    std::mutex mutex_;
    bool open_ = true;
};

// The progress reports of one window, each on a task of its own so that a
// slow callback does not hold up decoding. They are all waited for before
// the window returns, however it ends: a callback may refer to its caller's
// stack, which is gone after the return.
class ProgressReports {
public:
    ProgressReports() = default;
    ProgressReports(const ProgressReports&) = delete;
    ProgressReports& operator=(const ProgressReports&) = delete;
    ~ProgressReports() {
        for (const platform::Task<void>& report : reports_) {
            try {
                report.value();
            } catch (const std::exception& error) {
                Logging::error(std::string("Progress callback failed: ") + error.what());
            } catch (...) {
                Logging::error("Progress callback failed");
            }
        }
    }

    template <class Report>
    void start(Report&& report) {
        reports_.emplace_back(std::forward<Report>(report));
    }

private:
    std::vector<platform::Task<void>> reports_;
};

struct StepSums {
    double predictions = 0;
    double filtering = 0;
    double sampling = 0;
    double kvCaching = 0;
    double nonPrediction = 0;
    double loop = 0;
    double decodingLoops = 0;
    double kvUpdateRuns = 0;
};

TranscriptionTimings timingsOf(const StepSums& sums, double firstTokenTime) {
    TranscriptionTimings timings;
    timings.firstTokenTime = firstTokenTime;
    timings.decodingLoop = sums.loop;
    timings.decodingPredictions = sums.predictions;
    timings.decodingFiltering = sums.filtering;
    timings.decodingSampling = sums.sampling;
    timings.decodingKvCaching = sums.kvCaching;
    timings.decodingNonPrediction = sums.nonPrediction;
    timings.totalDecodingLoops = sums.decodingLoops;
    timings.totalKVUpdateRuns = sums.kvUpdateRuns;
    return timings;
}

float average(const std::vector<float>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0f) / static_cast<float>(values.size());
}

std::vector<int64_t> textTokens(const std::vector<int64_t>& tokens, int64_t specialTokenBegin) {
    std::vector<int64_t> kept;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(kept),
                 [&](int64_t token) { return token < specialTokenBegin; });
    return kept;
}

// The cache positions every array of the window can hold.
int64_t cachePositions(const DecodingInputs& inputs, std::optional<int64_t> described) {
    int64_t positions = std::min({inputs.kvCacheUpdateMask->count(), inputs.decoderKeyPaddingMask->count(),
                                  inputs.keyCache->shape().size() >= 4 ? inputs.keyCache->shape()[3] : 0,
                                  inputs.valueCache->shape().size() >= 4 ? inputs.valueCache->shape()[3] : 0});
    if (described) positions = std::min(positions, *described);
    return positions;
}

// The alignment rows of the result, the first one belonging to the
// start-of-transcript token. A previous-text prompt puts that token further
// into the cache; its rows are moved up so that row r is the r-th result
// token.
std::shared_ptr<MLMultiArray> alignmentFromStart(const std::shared_ptr<MLMultiArray>& weights, int64_t startRow) {
    if (startRow == 0) return weights;
    auto moved = std::make_shared<MLMultiArray>(weights->shape(), weights->dataType());
    copyRows(*weights, startRow, *moved, std::max<int64_t>(weights->shape()[0] - startRow, 0));
    return moved;
}

}  // namespace

DecodingResult TextDecoder::decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                       TokenSampling& sampler, const DecodingOptions& options,
                                       const TranscriptionCallback& callback) {
    const auto whisperTokenizer = tokenizer();
    if (!whisperTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const WhisperTokenizer& tokens = *whisperTokenizer;
    const SpecialTokens& special = tokens.specialTokens();
    auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");

    const auto prefilledIndex = std::max<int64_t>(static_cast<int64_t>(elementValue(*inputs->cacheLength(), 0)), 0);
    const auto initialPromptIndex = static_cast<int64_t>(inputs->initialPrompt().size());
    std::vector<int64_t> currentTokens = inputs->initialPrompt();
    std::vector<float> logProbs(currentTokens.size(), 0.0f);
    int64_t nextToken = currentTokens.empty() ? special.startOfTranscriptToken : currentTokens.back();
    const auto filters = createLogitsFilters(options, prefilledIndex, initialPromptIndex, tokens);

    // At most 223 tokens a window; each step writes the next cache position,
    // so on a shorter cache the last step runs one short of its end.
    const int64_t maxTokenCount =
        std::min(Constants::maxTokenContext - 1, cachePositions(*inputs, kvCacheMaxSequenceLength()) - 1);
    const int64_t loopCount = std::min(options.sampleLength, maxTokenCount);
    // Token texts for the debug lines cost a decode each; only build them
    // when someone reads them.
    const bool debugging = Logging::isLoggingEnabled(Logging::LogLevel::debug);
    Logging::debug("Running main loop for a maximum of " + std::to_string(loopCount) + " iterations, starting at index " +
                   std::to_string(prefilledIndex));

    // The first to be made and so the last to go: its reports, which may
    // still ask to stop, are waited for once the window's flag has closed.
    ProgressReports reports;
    const auto earlyStop = std::make_shared<EarlyStopFlag>(earlyStopActor_, platform::UUID());
    double firstTokenTime = std::numeric_limits<double>::max();
    bool hasAlignment = false;
    bool isFirstTokenLogProbTooLow = false;
    StepSums sums;

    {
        // However the loop ends, errors included, the window's flag goes.
        const struct Closing {
            EarlyStopFlag& flag;
            ~Closing() { flag.close(); }
        } closing{*earlyStop};
        for (int64_t tokenIndex = prefilledIndex; tokenIndex < loopCount; ++tokenIndex) {
            const double loopStart = currentAbsoluteTime();
            if (tokenIndex < initialPromptIndex) {
                const auto index = static_cast<std::size_t>(tokenIndex);
                if (tokenIndex == initialPromptIndex - 1 && currentTokens[index] >= special.timeTokenBegin &&
                    nextToken >= special.timeTokenBegin) {
                    currentTokens[index] = nextToken;
                    if (debugging) {
                        Logging::debug("Skipping prompt tokenIndex: " + std::to_string(tokenIndex) + ", token: " +
                                       std::to_string(nextToken) + ", text: " + tokens.decode({nextToken}));
                    }
                } else {
                    nextToken = currentTokens[index];
                    if (debugging) {
                        Logging::debug("Forcing prompt tokenIndex: " + std::to_string(tokenIndex) + ", token: " +
                                       std::to_string(nextToken) + ", text: " + tokens.decode({nextToken}));
                    }
                }
            }
            setElement(*inputs->inputIds(), 0, static_cast<double>(nextToken));
            setElement(*inputs->cacheLength(), 0, static_cast<double>(tokenIndex));
            if (tokenIndex <= prefilledIndex + 3) debugCaches(*inputs, tokenIndex, prefilledIndex);

            const double inferenceStart = currentAbsoluteTime();
            const auto encoderEmbeds = multiArray(encoderOutput);
            if (!encoderEmbeds) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
            const auto output = predictLogits(TextDecoderMLMultiArrayInputType(
                inputs->inputIds(), inputs->cacheLength(), inputs->keyCache, inputs->valueCache, inputs->kvCacheUpdateMask,
                encoderEmbeds, inputs->decoderKeyPaddingMask));
            const auto* prediction = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
            if (!prediction || !prediction->logits || !prediction->cache) {
                throw WhisperError::decodingLogitsFailed("Unable to decode logits");
            }
            const double predictionTime = currentAbsoluteTime() - inferenceStart;

            const double filteringStart = currentAbsoluteTime();
            auto logits = prediction->logits;
            for (const auto& filter : filters) logits = filter->filterLogits(logits, currentTokens);
            const double filteringTime = currentAbsoluteTime() - filteringStart;

            const double samplingStart = currentAbsoluteTime();
            const SamplingResult sampled = sampler.update(currentTokens, *logits, logProbs);
            if (sampled.tokens.empty() || sampled.logProbs.empty()) throw WhisperError::decodingFailed("Decoding failed");
            nextToken = sampled.tokens.back();
            const float nextTokenLogProb = sampled.logProbs.back();
            if (debugging) {
                Logging::debug("Predicted next tokenIndex: " + std::to_string(tokenIndex + 1) + ", token: " +
                               std::to_string(nextToken) + ", text: " + tokens.decode({nextToken}));
            }
            const double samplingTime = currentAbsoluteTime() - samplingStart;

            isFirstTokenLogProbTooLow = tokenIndex == prefilledIndex && options.firstTokenLogProbThreshold &&
                                        nextTokenLogProb < *options.firstTokenLogProbThreshold;
            const bool isSegmentCompleted = sampled.completed ||
                                            static_cast<int64_t>(currentTokens.size()) >= maxTokenCount ||
                                            isFirstTokenLogProbTooLow;
            if (isSegmentCompleted) {
                const double now = currentAbsoluteTime();
                sums.nonPrediction += now - filteringStart;
                sums.loop += now - loopStart;
                sums.predictions += predictionTime;
                sums.filtering += filteringTime;
                sums.sampling += samplingTime;
                sums.decodingLoops += 1;
                break;
            }
            if (tokenIndex >= initialPromptIndex - 1) {
                currentTokens.push_back(nextToken);
                logProbs.push_back(nextTokenLogProb);
            }

            const double kvStart = currentAbsoluteTime();
            const DecodingCache& cache = *prediction->cache;
            updateKVCache(*inputs->keyCache, *cache.keyCache, *inputs->valueCache, *cache.valueCache, tokenIndex);
            setElement(*inputs->decoderKeyPaddingMask, tokenIndex + 1, 0);
            setElement(*inputs->kvCacheUpdateMask, tokenIndex, 0);
            setElement(*inputs->kvCacheUpdateMask, tokenIndex + 1, 1);
            if (cache.alignmentWeights) {
                updateAlignmentWeights(*inputs->alignmentWeights, *cache.alignmentWeights, tokenIndex);
                hasAlignment = true;
            }
            const double kvTime = currentAbsoluteTime() - kvStart;

            if (callback) {
                StepSums reported = sums;
                reported.predictions += predictionTime;
                reported.filtering += filteringTime;
                reported.sampling += samplingTime;
                reported.kvCaching += kvTime;
                reported.kvUpdateRuns += 1;
                // The report's text and measures are worked out on the
                // callback's own task, off the decoding path.
                reports.start([callback, whisperTokenizer, tokensSoFar = currentTokens, logProbsSoFar = logProbs,
                                      timings = timingsOf(reported, firstTokenTime), flag = earlyStop,
                                      skipSpecialTokens = options.skipSpecialTokens,
                                      mayStop = tokenIndex >= initialPromptIndex - 1]() mutable {
                    TranscriptionProgress progress;
                    const int64_t specialTokenBegin = whisperTokenizer->specialTokens().specialTokenBegin;
                    progress.text = whisperTokenizer->decode(skipSpecialTokens ? textTokens(tokensSoFar, specialTokenBegin)
                                                                               : tokensSoFar);
                    progress.avgLogprob = average(logProbsSoFar);
                    progress.compressionRatio = TextUtilities::compressionRatio(tokensSoFar);
                    progress.tokens = std::move(tokensSoFar);
                    progress.timings = timings;
                    const std::optional<bool> goOn = callback(progress);
                    if (goOn.has_value() && !*goOn && mayStop) {
                        Logging::debug("Early stopping");
                        flag->requestStop();
                    }
                });
            }

            const double now = currentAbsoluteTime();
            if (tokenIndex == prefilledIndex) {
                Logging::debug("Found first token at: " + std::to_string(now));
                firstTokenTime = now;
            }
            const bool shouldStop = earlyStop->shouldStop();
            sums.predictions += predictionTime;
            sums.filtering += filteringTime;
            sums.sampling += samplingTime;
            sums.loop += now - loopStart;
            sums.nonPrediction += now - filteringStart;
            sums.kvCaching += kvTime;
            sums.decodingLoops += 1;
            sums.kvUpdateRuns += 1;
            if (shouldStop) break;
        }
    }

    std::optional<DecodingCache> cache = DecodingCache{inputs->keyCache, inputs->valueCache, nullptr};
    SamplingResult final = sampler.finalize(currentTokens, logProbs);
    // A sampler of the caller's that returns no tokens, or fewer
    // log-probabilities than tokens, gets the end token and 0 for the rest
    // rather than a read past its lists.
    if (final.tokens.empty()) final.tokens.push_back(special.endToken);
    final.logProbs.resize(final.tokens.size(), 0.0f);
    const auto positionOf = [&](int64_t token) -> std::optional<std::size_t> {
        const auto found = std::find(final.tokens.begin(), final.tokens.end(), token);
        if (found == final.tokens.end()) return std::nullopt;
        return static_cast<std::size_t>(found - final.tokens.begin());
    };
    // From the start of the transcript (previous text dropped) through the
    // end token, both kept.
    const std::size_t start = positionOf(special.startOfTranscriptToken).value_or(0);
    const std::size_t end = std::max(start, positionOf(special.endToken).value_or(final.tokens.size() - 1));

    DecodingResult result;
    result.tokens.assign(final.tokens.begin() + static_cast<std::ptrdiff_t>(start),
                         final.tokens.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    const std::vector<float> keptLogProbs(final.logProbs.begin() + static_cast<std::ptrdiff_t>(start),
                                          final.logProbs.begin() + static_cast<std::ptrdiff_t>(end) + 1);
    if (hasAlignment) cache->alignmentWeights = alignmentFromStart(inputs->alignmentWeights, static_cast<int64_t>(start));
    for (std::size_t i = 0; i < result.tokens.size(); ++i) result.tokenLogProbs.push_back({{result.tokens[i], keptLogProbs[i]}});
    // Over N sampled tokens plus the forced ones from the start of the
    // transcript and the closing end token: results stored so far were
    // measured this way.
    result.avgLogProb = average(keptLogProbs);
    result.compressionRatio = TextUtilities::compressionRatio(textTokens(result.tokens, special.specialTokenBegin));
    result.temperature = options.temperature;
    if (const auto* greedy = dynamic_cast<const GreedyTokenSampler*>(&sampler)) {
        result.temperature = celvan::rounded(static_cast<float>(greedy->temperature), 3);
    }
    if (options.language) {
        result.language = *options.language;
        result.languageProbs = {{*options.language, 0.0f}};
    } else {
        const auto& languageTokens = tokens.allLanguageTokens();
        const auto found = std::find_if(result.tokens.begin(), result.tokens.end(),
                                        [&](int64_t token) { return languageTokens.contains(token); });
        if (found == result.tokens.end()) {
            result.language = std::string(Constants::defaultLanguageCode);
            result.languageProbs = {{result.language, 0.0f}};
        } else {
            result.language = languageCode(tokens, *found);
            result.languageProbs = {{result.language, keptLogProbs[static_cast<std::size_t>(found - result.tokens.begin())]}};
        }
    }
    result.text = tokens.decode(result.tokens);
    Logging::debug("Completed window: " + result.text);
    result.fallback = DecodingFallback::decide(options, isFirstTokenLogProbTooLow, 0, result.compressionRatio,
                                               result.avgLogProb);
    result.cache = std::move(cache);
    result.timings = timingsOf(sums, firstTokenTime);
    return result;
}

}  // namespace sonoscribe
