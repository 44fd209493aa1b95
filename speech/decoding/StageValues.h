#pragma once

#include <memory>

#include "platform/coreml/MLMultiArray.h"

namespace sonoscribe {

// What one pipeline stage hands the next. The stages only require a value to
// be of the right role; the built-in ones exchange multi-arrays and refuse
// anything else with their own error.
class AudioProcessorOutputType {
public:
    virtual ~AudioProcessorOutputType() = default;
};

class FeatureExtractorOutputType {
public:
    virtual ~FeatureExtractorOutputType() = default;
};

class AudioEncoderOutputType {
public:
    virtual ~AudioEncoderOutputType() = default;
};

class TextDecoderInputType {
public:
    virtual ~TextDecoderInputType() = default;
};

class TextDecoderOutputType {
public:
    virtual ~TextDecoderOutputType() = default;
};

class TextDecoderTensorType {
public:
    virtual ~TextDecoderTensorType() = default;
};

// A multi-array in every stage role, so that the output of one stage can be
// handed straight to the next.
class MLMultiArrayValue final : public AudioProcessorOutputType,
                                public FeatureExtractorOutputType,
                                public AudioEncoderOutputType,
                                public TextDecoderInputType,
                                public TextDecoderOutputType,
                                public TextDecoderTensorType {
public:
    explicit MLMultiArrayValue(std::shared_ptr<platform::MLMultiArray> array) : array_(std::move(array)) {}

    const std::shared_ptr<platform::MLMultiArray>& array() const noexcept { return array_; }

private:
    std::shared_ptr<platform::MLMultiArray> array_;
};

inline std::shared_ptr<MLMultiArrayValue> makeStageValue(std::shared_ptr<platform::MLMultiArray> array) {
    return std::make_shared<MLMultiArrayValue>(std::move(array));
}

// The multi-array a stage value holds; null for a value of another kind.
template <class Role>
std::shared_ptr<platform::MLMultiArray> multiArray(const Role& value) {
    const auto* held = dynamic_cast<const MLMultiArrayValue*>(&value);
    return held ? held->array() : nullptr;
}

}  // namespace sonoscribe
