#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// The decoder inputs that a decoding loop reads and writes step by step.
class DecodingInputsType {
public:
    virtual ~DecodingInputsType() = default;

    virtual const std::vector<int64_t>& initialPrompt() const = 0;
    virtual void setInitialPrompt(std::vector<int64_t> prompt) = 0;
    virtual const std::shared_ptr<platform::MLMultiArray>& inputIds() const = 0;
    virtual void setInputIds(std::shared_ptr<platform::MLMultiArray> inputIds) = 0;
    virtual const std::shared_ptr<platform::MLMultiArray>& cacheLength() const = 0;
    virtual void setCacheLength(std::shared_ptr<platform::MLMultiArray> cacheLength) = 0;
    virtual void reset(int64_t maxTokenContext) = 0;
};

// The text decoder's inputs that persist from token to token. The arrays are
// sized by the decoder model when the inputs are made; one decoding pass at a
// time may use an object, without a lock.
class DecodingInputs final : public DecodingInputsType {
public:
    DecodingInputs(std::vector<int64_t> initialPrompt, std::shared_ptr<platform::MLMultiArray> inputIds,
                   std::shared_ptr<platform::MLMultiArray> cacheLength,
                   std::shared_ptr<platform::MLMultiArray> keyCache,
                   std::shared_ptr<platform::MLMultiArray> valueCache,
                   std::shared_ptr<platform::MLMultiArray> alignmentWeights,
                   std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask,
                   std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask);

    const std::vector<int64_t>& initialPrompt() const override { return initialPrompt_; }
    void setInitialPrompt(std::vector<int64_t> prompt) override { initialPrompt_ = std::move(prompt); }
    const std::shared_ptr<platform::MLMultiArray>& inputIds() const override { return inputIds_; }
    void setInputIds(std::shared_ptr<platform::MLMultiArray> inputIds) override { inputIds_ = std::move(inputIds); }
    const std::shared_ptr<platform::MLMultiArray>& cacheLength() const override { return cacheLength_; }
    void setCacheLength(std::shared_ptr<platform::MLMultiArray> cacheLength) override {
        cacheLength_ = std::move(cacheLength);
    }

    std::shared_ptr<platform::MLMultiArray> keyCache;
    std::shared_ptr<platform::MLMultiArray> valueCache;
    std::shared_ptr<platform::MLMultiArray> alignmentWeights;
    std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask;
    std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask;

    // Rewinds the cache position and the masks for a new window: position 0
    // open and next to be written, positions 1 to maxTokenContext - 1 masked
    // out. The caches keep their stale contents; the masks hide them. Masks
    // shorter than maxTokenContext are written as far as they reach.
    void reset(int64_t maxTokenContext) override;

private:
    std::vector<int64_t> initialPrompt_;
    std::shared_ptr<platform::MLMultiArray> inputIds_;
    std::shared_ptr<platform::MLMultiArray> cacheLength_;
};

}  // namespace sonoscribe
