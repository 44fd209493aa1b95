#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "mlcore/foundation/ConcurrencyUtilities.h"
#include "platform/coreml/MLMultiArray.h"
#include "platform/foundation/Float16.h"
#include "speech/decoding/LogitsFilter.h"
#include "speech/decoding/StageValues.h"
#include "speech/decoding/TokenSampler.h"
#include "speech/decoding/WhisperTokenizer.h"
#include "speech/model/DecodingInputs.h"
#include "speech/model/DecodingOptions.h"
#include "speech/model/DecodingResult.h"
#include "speech/model/TranscriptionProgress.h"
#include "speech/model/WhisperMLModel.h"

namespace sonoscribe {

// The seven arrays one decoder step reads; the window's own arrays, shared.
struct TextDecoderMLMultiArrayInputType final : TextDecoderInputType {
    TextDecoderMLMultiArrayInputType(std::shared_ptr<platform::MLMultiArray> inputIds,
                                     std::shared_ptr<platform::MLMultiArray> cacheLength,
                                     std::shared_ptr<platform::MLMultiArray> keyCache,
                                     std::shared_ptr<platform::MLMultiArray> valueCache,
                                     std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask,
                                     std::shared_ptr<platform::MLMultiArray> encoderOutputEmbeds,
                                     std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask)
        : inputIds(std::move(inputIds)),
          cacheLength(std::move(cacheLength)),
          keyCache(std::move(keyCache)),
          valueCache(std::move(valueCache)),
          kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
          encoderOutputEmbeds(std::move(encoderOutputEmbeds)),
          decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)) {}

    std::shared_ptr<platform::MLMultiArray> inputIds;
    std::shared_ptr<platform::MLMultiArray> cacheLength;
    std::shared_ptr<platform::MLMultiArray> keyCache;
    std::shared_ptr<platform::MLMultiArray> valueCache;
    std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask;
    std::shared_ptr<platform::MLMultiArray> encoderOutputEmbeds;
    std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask;
};

// What one decoder step answers: the next-token scores and the new cache
// entries (both absent when no model is loaded).
struct TextDecoderMLMultiArrayOutputType final : TextDecoderOutputType {
    // The answer without a model. Built without handing over an empty
    // optional: moving one in makes GCC 12 with AddressSanitizer at -O2 warn
    // that the cache's pointers may be read uninitialized.
    TextDecoderMLMultiArrayOutputType() = default;
    TextDecoderMLMultiArrayOutputType(std::shared_ptr<platform::MLMultiArray> logits, std::optional<DecodingCache> cache)
        : logits(std::move(logits)), cache(std::move(cache)) {}

    std::shared_ptr<platform::MLMultiArray> logits;
    std::optional<DecodingCache> cache;
};

// Decodes one window of encoder output into tokens with the decoder model,
// one token per step, keeping the key-value cache in the window's inputs.
class TextDecoding {
public:
    virtual ~TextDecoding() = default;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const = 0;
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) = 0;
    virtual bool isModelMultilingual() const = 0;
    virtual void setIsModelMultilingual(bool isModelMultilingual) = 0;
    virtual bool supportsWordTimestamps() const = 0;
    virtual std::optional<int64_t> logitsSize() const = 0;
    virtual const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters() const = 0;
    virtual void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters) = 0;
    virtual std::optional<int64_t> kvCacheEmbedDim() const = 0;
    virtual std::optional<int64_t> kvCacheMaxSequenceLength() const = 0;
    virtual std::optional<int64_t> windowSize() const = 0;
    virtual std::optional<int64_t> embedSize() const = 0;

    // Inputs must be a TextDecoderMLMultiArrayInputType, else WhisperError
    // (transcriptionFailed). Always answers a record.
    virtual std::shared_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& inputs) = 0;

    // Fresh inputs for one window, sized by the model: caches of zeros, only
    // position 0 open. Throws WhisperError (prepareDecoderInputsFailed) when a
    // size cannot be read from the model.
    virtual std::shared_ptr<DecodingInputsType> prepareDecoderInputs(const std::vector<int64_t>& withPrompt);

    // Writes the forced prompt for the options into the inputs and answers
    // the same inputs. Throws WhisperError (tokenizerUnavailable or
    // prepareDecoderInputsFailed).
    virtual std::shared_ptr<DecodingInputsType> prefillDecoderInputs(std::shared_ptr<DecodingInputsType> decoderInputs,
                                                                     const std::optional<DecodingOptions>& withOptions);

    // Decodes one window. `callback` (may be empty) sees every continuing
    // step's progress off the decoding thread; an answer of false stops the
    // window soon after.
    virtual DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                      TokenSampling& sampler, const DecodingOptions& options,
                                      const TranscriptionCallback& callback) = 0;

    // The window's language from one step over the start-of-transcript token.
    virtual DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs,
                                          TokenSampling& sampler, const DecodingOptions& options,
                                          platform::Float16 temperature) = 0;

    // Copies one step's cache entries ([1, E, 1, n] each, n new positions)
    // into the caches ([1, E, 1, S]) from position insertAtIndex on, each
    // array through its own strides. Entries past S are not written.
    static void updateKVCache(platform::MLMultiArray& keyTensor, const platform::MLMultiArray& keySlice,
                              platform::MLMultiArray& valueTensor, const platform::MLMultiArray& valueSlice,
                              int64_t insertAtIndex);

    // Copies one step's alignment weights ([1, W]) into row insertAtIndex + 1
    // of the window's [S, W] buffer, the row of the token the step predicted.
    // A row past the buffer is not written.
    static void updateAlignmentWeights(platform::MLMultiArray& alignmentTensor, const platform::MLMultiArray& alignmentSlice,
                                       int64_t insertAtIndex);
};

class TextDecoder : public TextDecoding, public WhisperMLModel {
public:
    TextDecoder();

    std::shared_ptr<const WhisperTokenizer> tokenizer() const override { return tokenizer_; }
    void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) override { tokenizer_ = std::move(tokenizer); }
    bool isModelMultilingual() const override { return isModelMultilingual_; }
    void setIsModelMultilingual(bool isModelMultilingual) override { isModelMultilingual_ = isModelMultilingual; }
    const std::optional<std::vector<std::shared_ptr<LogitsFiltering>>>& logitsFilters() const override {
        return logitsFilters_;
    }
    void setLogitsFilters(std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters) override {
        logitsFilters_ = std::move(logitsFilters);
    }
    const std::shared_ptr<celvan::EarlyStopActor>& earlyStopActor() const noexcept { return earlyStopActor_; }
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter() const;
    void setLanguageLogitsFilter(std::shared_ptr<LanguageLogitsFilter> filter);

    bool supportsWordTimestamps() const override;
    std::optional<int64_t> logitsSize() const override;
    std::optional<int64_t> kvCacheEmbedDim() const override;
    std::optional<int64_t> kvCacheMaxSequenceLength() const override;
    std::optional<int64_t> windowSize() const override;
    std::optional<int64_t> embedSize() const override;

    void unloadModel() override;

    // Debug lines showing the first positions of the window's inputs.
    void debugCaches(const DecodingInputs& decoderInputs, int64_t tokenIndex, int64_t prefillSize) const;

    std::shared_ptr<TextDecoderOutputType> predictLogits(const TextDecoderInputType& inputs) override;

    struct Prediction {
        std::shared_ptr<platform::MLMultiArray> logits;
        DecodingCache cache;
    };
    // One model step; none when no model is loaded. Throws the cancellation
    // error, the prediction's error, WhisperError (decodingLogitsFailed) for
    // a result without usable logits and (decodingFailed, "Invalid model
    // output") for one without usable cache entries.
    std::optional<Prediction> predictLogits(std::shared_ptr<platform::MLMultiArray> inputIds,
                                            std::shared_ptr<platform::MLMultiArray> cacheLength,
                                            std::shared_ptr<platform::MLMultiArray> keyCache,
                                            std::shared_ptr<platform::MLMultiArray> valueCache,
                                            std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask,
                                            std::shared_ptr<platform::MLMultiArray> encoderOutputEmbeds,
                                            std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask);

    DecodingResult detectLanguage(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs, TokenSampling& sampler,
                                  const DecodingOptions& options, platform::Float16 temperature) override;

    DecodingResult decodeText(const AudioEncoderOutputType& encoderOutput, DecodingInputsType& decoderInputs, TokenSampling& sampler,
                              const DecodingOptions& options, const TranscriptionCallback& callback) override;

    // The filters of one window, in the order they run: the decoder's own,
    // then blank, suppressed tokens and the timestamp rules as the options ask.
    std::vector<std::shared_ptr<LogitsFiltering>> createLogitsFilters(const DecodingOptions& options, int64_t prefilledIndex,
                                                                     int64_t initialPromptIndex,
                                                                     const WhisperTokenizer& tokenizer) const;

private:
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    bool isModelMultilingual_ = false;
    std::optional<std::vector<std::shared_ptr<LogitsFiltering>>> logitsFilters_;
    std::shared_ptr<celvan::EarlyStopActor> earlyStopActor_;
    // Concurrent first detections may each build one; the last stays.
    mutable std::mutex languageFilterMutex_;
    std::shared_ptr<LanguageLogitsFilter> languageLogitsFilter_;
};

}  // namespace sonoscribe
