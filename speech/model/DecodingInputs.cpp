#include "speech/model/DecodingInputs.h"

#include <algorithm>

namespace sonoscribe {
namespace {

// Writes value at the element that a row-major walk over the shape reaches
// at linearIndex, through the array's strides and in its element type;
// an index outside the array writes nothing.
void setElement(platform::MLMultiArray& array, int64_t linearIndex, int32_t value) {
    if (linearIndex < 0 || linearIndex >= array.count()) return;
    int64_t offset = 0;
    int64_t remaining = linearIndex;
    const auto& shape = array.shape();
    const auto& strides = array.strides();
    for (std::size_t dimension = shape.size(); dimension-- > 0;) {
        offset += (remaining % shape[dimension]) * strides[dimension];
        remaining /= shape[dimension];
    }
    auto position = static_cast<std::size_t>(offset);
    switch (array.dataType()) {
    case platform::MLMultiArrayDataType::float16:
        array.buffer<platform::Float16>()[position] = static_cast<platform::Float16>(value);
        break;
    case platform::MLMultiArrayDataType::float32:
        array.buffer<float>()[position] = static_cast<float>(value);
        break;
    case platform::MLMultiArrayDataType::float64:
        array.buffer<double>()[position] = value;
        break;
    case platform::MLMultiArrayDataType::int32:
        array.buffer<int32_t>()[position] = value;
        break;
    }
}

}  // namespace

DecodingInputs::DecodingInputs(std::vector<int64_t> initialPrompt, std::shared_ptr<platform::MLMultiArray> inputIds,
                               std::shared_ptr<platform::MLMultiArray> cacheLength,
                               std::shared_ptr<platform::MLMultiArray> keyCache,
                               std::shared_ptr<platform::MLMultiArray> valueCache,
                               std::shared_ptr<platform::MLMultiArray> alignmentWeights,
                               std::shared_ptr<platform::MLMultiArray> kvCacheUpdateMask,
                               std::shared_ptr<platform::MLMultiArray> decoderKeyPaddingMask)
    : keyCache(std::move(keyCache)),
      valueCache(std::move(valueCache)),
      alignmentWeights(std::move(alignmentWeights)),
      kvCacheUpdateMask(std::move(kvCacheUpdateMask)),
      decoderKeyPaddingMask(std::move(decoderKeyPaddingMask)),
      initialPrompt_(std::move(initialPrompt)),
      inputIds_(std::move(inputIds)),
      cacheLength_(std::move(cacheLength)) {}

void DecodingInputs::reset(int64_t maxTokenContext) {
    constexpr int32_t maskedOut = -10000;
    setElement(*cacheLength_, 0, 0);
    setElement(*decoderKeyPaddingMask, 0, 0);
    setElement(*kvCacheUpdateMask, 0, 1);
    // A context longer than the masks would write past their end.
    int64_t end = std::min({maxTokenContext, decoderKeyPaddingMask->count(), kvCacheUpdateMask->count()});
    for (int64_t i = 1; i < end; ++i) {
        setElement(*decoderKeyPaddingMask, i, maskedOut);
        setElement(*kvCacheUpdateMask, i, 0);
    }
}

}  // namespace sonoscribe
