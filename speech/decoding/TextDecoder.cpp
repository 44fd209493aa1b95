#include "speech/decoding/TextDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "mlcore/foundation/MLModelExtensions.h"
#include "mlcore/foundation/ModelUtilities.h"
#include "platform/concurrency/CancellationToken.h"
#include "speech/decoding/AbsoluteTime.h"
#include "speech/decoding/ArrayElements.h"
#include "speech/decoding/ModelFeatures.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

std::optional<int64_t> inputDimension(const std::shared_ptr<platform::MLModel>& model, const char* name, int64_t position) {
    return celvan::ModelUtilities::getModelInputDimension(model, name, position);
}

bool isHalf(const std::shared_ptr<MLMultiArray>& array, std::size_t minimumRank) {
    return array && array->dataType() == MLMultiArrayDataType::float16 && array->shape().size() >= minimumRank;
}

}  // namespace

TextDecoder::TextDecoder()
    : logitsFilters_(std::vector<std::shared_ptr<LogitsFiltering>>{}),
      earlyStopActor_(std::make_shared<celvan::EarlyStopActor>()) {}

std::shared_ptr<LanguageLogitsFilter> TextDecoder::languageLogitsFilter() const {
    std::lock_guard guard(languageFilterMutex_);
    return languageLogitsFilter_;
}

void TextDecoder::setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter) {
    std::lock_guard guard(languageFilterMutex_);
    languageLogitsFilter_ = std::move(filter);
}

bool TextDecoder::supportsWordTimestamps() const {
    return celvan::ModelUtilities::getModelOutputDimension(model(), "alignment_heads_weights", 0).has_value();
}

std::optional<int64_t> TextDecoder::logitsSize() const {
    return celvan::ModelUtilities::getModelOutputDimension(model(), "logits", 2);
}

std::optional<int64_t> TextDecoder::kvCacheEmbedDim() const { return inputDimension(model(), "key_cache", 1); }

std::optional<int64_t> TextDecoder::kvCacheMaxSequenceLength() const { return inputDimension(model(), "key_cache", 3); }

std::optional<int64_t> TextDecoder::windowSize() const { return inputDimension(model(), "encoder_output_embeds", 3); }

std::optional<int64_t> TextDecoder::embedSize() const { return inputDimension(model(), "encoder_output_embeds", 1); }

void TextDecoder::unloadModel() {
    WhisperMLModel::unloadModel();
    setLanguageLogitsFilter(nullptr);
}

void TextDecoder::debugCaches(const DecodingInputs& decoderInputs, int64_t, int64_t prefillSize) const {
    if (!Logging::isLoggingEnabled(Logging::LogLevel::debug)) return;
    const auto line = [](const char* format, auto... values) {
        char text[160];
        std::snprintf(text, sizeof text, format, values...);
        return std::string(text);
    };
    Logging::debug("--------------- DECODER INPUTS DEBUG ---------------");
    Logging::debug(line("Cache Length: %2.0f Input Token: %4.0f", elementValue(*decoderInputs.cacheLength(), 0),
                        elementValue(*decoderInputs.inputIds(), 0)));
    Logging::debug("Key Cache | Val Cache | Align Cache | Update Mask | Decoder Mask | Position");
    const MLMultiArray& alignment = *decoderInputs.alignmentWeights;
    const int64_t frames = alignment.shape().size() >= 2 ? alignment.shape()[1] : 0;
    const int64_t rows = std::min({prefillSize + 4, decoderInputs.kvCacheUpdateMask->count(),
                                   decoderInputs.decoderKeyPaddingMask->count(), decoderInputs.keyCache->count(),
                                   decoderInputs.valueCache->count(), frames > 0 ? alignment.count() / frames : 0});
    for (int64_t i = 0; i < rows; ++i) {
        Logging::debug(line("%9.6f | %9.6f | %9.6f | %11.0f | %12.0f | %d", elementValue(*decoderInputs.keyCache, i),
                            elementValue(*decoderInputs.valueCache, i), elementValue(alignment, i * frames),
                            elementValue(*decoderInputs.kvCacheUpdateMask, i),
                            elementValue(*decoderInputs.decoderKeyPaddingMask, i), static_cast<int>(i)));
    }
}

std::shared_ptr<TextDecoderOutputType> TextDecoder::predictLogits(const TextDecoderInputType& inputs) {
    const auto* arrays = dynamic_cast<const TextDecoderMLMultiArrayInputType*>(&inputs);
    if (!arrays) throw WhisperError::transcriptionFailed("Input must be TextDecoderMLMultiArrayInputType");
    auto prediction = predictLogits(arrays->inputIds, arrays->cacheLength, arrays->keyCache, arrays->valueCache,
                                    arrays->kvCacheUpdateMask, arrays->encoderOutputEmbeds, arrays->decoderKeyPaddingMask);
    if (!prediction) return std::make_shared<TextDecoderMLMultiArrayOutputType>();
    return std::make_shared<TextDecoderMLMultiArrayOutputType>(std::move(prediction->logits), std::move(prediction->cache));
}

std::optional<TextDecoder::Prediction> TextDecoder::predictLogits(
    std::shared_ptr<MLMultiArray> inputIds, std::shared_ptr<MLMultiArray> cacheLength, std::shared_ptr<MLMultiArray> keyCache,
    std::shared_ptr<MLMultiArray> valueCache, std::shared_ptr<MLMultiArray> kvCacheUpdateMask,
    std::shared_ptr<MLMultiArray> encoderOutputEmbeds, std::shared_ptr<MLMultiArray> decoderKeyPaddingMask) {
    const auto loaded = model();
    if (!loaded) return std::nullopt;
    const TextDecoderInput input(std::move(inputIds), std::move(cacheLength), std::move(keyCache), std::move(valueCache),
                                 std::move(kvCacheUpdateMask), std::move(encoderOutputEmbeds),
                                 std::move(decoderKeyPaddingMask));
    platform::checkCancellation();
    const TextDecoderOutput output(celvan::asyncPrediction(*loaded, input, platform::MLPredictionOptions{}));
    auto logits = output.logits();
    // The loop reads the scores as one half-float row; anything else would be
    // read as something it is not.
    if (!isHalf(logits, 1)) throw WhisperError::decodingLogitsFailed("Unable to decode logits");
    auto keys = output.key_cache_updates();
    auto values = output.value_cache_updates();
    auto alignment = output.alignment_heads_weights();
    if (!isHalf(keys, 4) || !isHalf(values, 4) || (alignment && !isHalf(alignment, 2))) {
        throw WhisperError::decodingFailed("Invalid model output");
    }
    return Prediction{std::move(logits), DecodingCache{std::move(keys), std::move(values), std::move(alignment)}};
}

DecodingResult TextDecoder::detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                           TokenSampling& sampler, const DecodingOptions&, platform::Float16) {
    const auto whisperTokenizer = tokenizer();
    if (!whisperTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    const auto size = logitsSize();
    if (!size) throw WhisperError::modelsUnavailable("Failed to read logits size from model");
    const int64_t startOfTranscript = whisperTokenizer->specialTokens().startOfTranscriptToken;
    const std::vector<int64_t> tokens{startOfTranscript};
    const std::vector<float> logProbs{0};

    auto filter = languageLogitsFilter();
    if (!filter) {
        filter = std::make_shared<LanguageLogitsFilter>(whisperTokenizer->allLanguageTokens(), *size, 0);
        setLanguageLogitsFilter(filter);
    }
    setElement(*decoderInputs.inputIds(), 0, static_cast<double>(startOfTranscript));
    setElement(*decoderInputs.cacheLength(), 0, 0);

    const double predictionStart = currentAbsoluteTime();
    Logging::debug("Detecting language...");
    const auto encoderEmbeds = multiArray(encoderOutput);
    if (!encoderEmbeds) throw WhisperError::prepareDecoderInputsFailed("Input must be MLMultiArray");
    auto* inputs = dynamic_cast<DecodingInputs*>(&decoderInputs);
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("DecodingInputsType must be DecodingInputs");
    const auto output = predictLogits(TextDecoderMLMultiArrayInputType(inputs->inputIds(), inputs->cacheLength(),
                                                                       inputs->keyCache, inputs->valueCache,
                                                                       inputs->kvCacheUpdateMask, encoderEmbeds,
                                                                       inputs->decoderKeyPaddingMask));
    const auto* prediction = dynamic_cast<const TextDecoderMLMultiArrayOutputType*>(output.get());
    if (!prediction || !prediction->logits) {
        Logging::error("Unable to decode logits");
        throw WhisperError::decodingLogitsFailed("Unable to decode logits from the model output");
    }
    const double predictionTime = currentAbsoluteTime() - predictionStart;
    const auto logits = filter->filterLogits(prediction->logits, tokens);

    const double samplingStart = currentAbsoluteTime();
    const SamplingResult sampled = sampler.update(tokens, *logits, logProbs);
    if (sampled.tokens.empty()) throw WhisperError::decodingFailed("Language detection failed");
    const double samplingTime = currentAbsoluteTime() - samplingStart;

    DecodingResult result;
    const auto& languageTokens = whisperTokenizer->allLanguageTokens();
    for (std::size_t i = 0; i < sampled.tokens.size() && i < sampled.logProbs.size(); ++i) {
        if (languageTokens.contains(sampled.tokens[i])) {
            result.languageProbs[languageCode(*whisperTokenizer, sampled.tokens[i])] = sampled.logProbs[i];
        }
    }
    const std::string detected = languageCode(*whisperTokenizer, sampled.tokens.back());
    if (Constants::languageCodes().contains(detected)) {
        Logging::debug("Detected language: " + detected);
        result.language = detected;
    } else {
        Logging::error("Detected language " + detected + " is not supported, defaulting to en");
        result.language = std::string(Constants::defaultLanguageCode);
    }
    TranscriptionTimings timings;
    timings.decodingPredictions = predictionTime;
    timings.decodingSampling = samplingTime;
    result.timings = timings;
    return result;
}

std::vector<std::shared_ptr<LogitsFiltering>> TextDecoder::createLogitsFilters(const DecodingOptions& options,
                                                                              int64_t /*prefilledIndex*/,
                                                                              int64_t initialPromptIndex,
                                                                              const WhisperTokenizer& tokenizer) const {
    std::vector<std::shared_ptr<LogitsFiltering>> filters = logitsFilters_.value_or(std::vector<std::shared_ptr<LogitsFiltering>>{});
    const SpecialTokens& special = tokenizer.specialTokens();
    if (options.suppressBlank) {
        // The first sampled position comes right after the forced prompt; the
        // cache position the loop starts from is 0 and never matches it.
        filters.push_back(std::make_shared<SuppressBlankFilter>(special, initialPromptIndex));
    }
    if (!options.suppressTokens.empty()) {
        std::vector<int64_t> suppressed;
        std::copy_if(options.suppressTokens.begin(), options.suppressTokens.end(), std::back_inserter(suppressed),
                     [&](int64_t token) { return token < special.specialTokenBegin; });
        filters.push_back(std::make_shared<SuppressTokensFilter>(std::move(suppressed)));
    }
    if (!options.withoutTimestamps) {
        std::optional<int64_t> maxInitialTimestampIndex;
        if (options.maxInitialTimestamp && std::isfinite(*options.maxInitialTimestamp)) {
            const float steps = *options.maxInitialTimestamp / 0.02f;
            maxInitialTimestampIndex = static_cast<int64_t>(std::clamp(steps, -9.0e18f, 9.0e18f));
        }
        filters.push_back(std::make_shared<TimestampRulesFilter>(special, initialPromptIndex, maxInitialTimestampIndex,
                                                                 isModelMultilingual_));
    }
    return filters;
}

}  // namespace sonoscribe
