#include <algorithm>

#include "mlcore/foundation/MLMultiArrayExtensions.h"
#include "speech/decoding/ArrayElements.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using platform::Float16;
using platform::MLMultiArray;
using platform::MLMultiArrayDataType;

constexpr std::size_t maxPromptTokens = 111;
constexpr std::size_t maxPrefixTokens = 112;

int64_t requirePositive(const std::optional<int64_t>& dimension, const char* message) {
    if (!dimension || *dimension <= 0) throw WhisperError::prepareDecoderInputsFailed(message);
    return *dimension;
}

// The last `limit` tokens, text tokens only.
std::vector<int64_t> textTail(const std::vector<int64_t>& tokens, std::size_t limit, int64_t specialTokenBegin) {
    const std::size_t from = tokens.size() - std::min(tokens.size(), limit);
    std::vector<int64_t> kept;
    std::copy_if(tokens.begin() + static_cast<std::ptrdiff_t>(from), tokens.end(), std::back_inserter(kept),
                 [&](int64_t token) { return token < specialTokenBegin; });
    return kept;
}

bool isHalfRank4(const MLMultiArray& array) {
    return array.dataType() == MLMultiArrayDataType::float16 && array.shape().size() >= 4;
}

}  // namespace

std::shared_ptr<DecodingInputsType> TextDecoding::prepareDecoderInputs(const std::vector<int64_t>& withPrompt) {
    const int64_t embedDim = requirePositive(kvCacheEmbedDim(), "Unable to determine kvCacheEmbedDim");
    const int64_t sequenceLength = requirePositive(kvCacheMaxSequenceLength(), "Unable to determine kvCacheMaxSequenceLength");
    const int64_t frames = requirePositive(windowSize(), "Unable to determine encoderOutputDim");

    auto inputIds = celvan::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0});
    auto cacheLength = celvan::makeMultiArray({1}, MLMultiArrayDataType::int32, int32_t{0});
    auto keyCache = celvan::makeMultiArray({1, embedDim, 1, sequenceLength}, MLMultiArrayDataType::float16, Float16{0});
    auto valueCache = celvan::makeMultiArray({1, embedDim, 1, sequenceLength}, MLMultiArrayDataType::float16, Float16{0});
    auto alignmentWeights = celvan::makeMultiArray({sequenceLength, frames}, MLMultiArrayDataType::float16, Float16{0});
    auto kvCacheUpdateMask = celvan::makeMultiArray({1, sequenceLength}, MLMultiArrayDataType::int32, int32_t{0});
    auto decoderKeyPaddingMask =
        celvan::makeMultiArray({1, sequenceLength}, MLMultiArrayDataType::float16, static_cast<Float16>(-10000));
    setElement(*kvCacheUpdateMask, 0, 1);
    setElement(*decoderKeyPaddingMask, 0, 0);
    return std::make_shared<DecodingInputs>(withPrompt, std::move(inputIds), std::move(cacheLength), std::move(keyCache),
                                            std::move(valueCache), std::move(alignmentWeights), std::move(kvCacheUpdateMask),
                                            std::move(decoderKeyPaddingMask));
}

std::shared_ptr<DecodingInputsType> TextDecoding::prefillDecoderInputs(std::shared_ptr<DecodingInputsType> decoderInputs,
                                                                      const std::optional<DecodingOptions>& withOptions) {
    const auto whisperTokenizer = tokenizer();
    if (!whisperTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    auto* inputs = dynamic_cast<DecodingInputs*>(decoderInputs.get());
    if (!inputs) throw WhisperError::prepareDecoderInputsFailed("Unable to cast decoderInputs to DecodingInputs");
    const SpecialTokens& special = whisperTokenizer->specialTokens();

    std::vector<int64_t> tokens{special.startOfTranscriptToken};
    if (withOptions) {
        const DecodingOptions& options = *withOptions;
        if (isModelMultilingual()) {
            const std::string language = options.language.value_or(std::string(Constants::defaultLanguageCode));
            tokens.push_back(whisperTokenizer->convertTokenToId("<|" + language + "|>").value_or(special.englishToken));
            const char* task = options.task == DecodingTask::translate ? "<|translate|>" : "<|transcribe|>";
            tokens.push_back(whisperTokenizer->convertTokenToId(task).value_or(special.transcribeToken));
        }
        tokens.push_back(options.withoutTimestamps ? special.noTimestampsToken : special.timeTokenBegin);
        if (options.promptTokens) {
            std::vector<int64_t> prompt{special.startOfPreviousToken};
            const auto kept = textTail(*options.promptTokens, maxPromptTokens, special.specialTokenBegin);
            prompt.insert(prompt.end(), kept.begin(), kept.end());
            prompt.insert(prompt.end(), tokens.begin(), tokens.end());
            tokens = std::move(prompt);
        }
        if (options.prefixTokens) {
            const auto kept = textTail(*options.prefixTokens, maxPrefixTokens, special.specialTokenBegin);
            tokens.insert(tokens.end(), kept.begin(), kept.end());
        }
        // The forced prompt must leave the cache a position to sample into:
        // the oldest previous text goes first, then the call fails.
        const auto room = static_cast<std::size_t>(std::max<int64_t>(inputs->kvCacheUpdateMask->count() - 2, 0));
        if (tokens.size() > room && tokens.front() == special.startOfPreviousToken) {
            const auto start = std::find(tokens.begin(), tokens.end(), special.startOfTranscriptToken);
            const auto excess = static_cast<std::ptrdiff_t>(std::min<std::size_t>(
                tokens.size() - room, static_cast<std::size_t>(start - tokens.begin() - 1)));
            tokens.erase(tokens.begin() + 1, tokens.begin() + 1 + excess);
        }
        if (tokens.size() > room) {
            throw WhisperError::prepareDecoderInputsFailed("Prompt of " + std::to_string(tokens.size()) +
                                                           " tokens does not fit the decoder's cache");
        }
    }
    inputs->setInitialPrompt(std::move(tokens));
    setElement(*inputs->kvCacheUpdateMask, 0, 1);
    setElement(*inputs->decoderKeyPaddingMask, 0, 0);
    return decoderInputs;
}

void TextDecoding::updateKVCache(MLMultiArray& keyTensor, const MLMultiArray& keySlice, MLMultiArray& valueTensor,
                                 const MLMultiArray& valueSlice, int64_t insertAtIndex) {
    if (!isHalfRank4(keyTensor) || !isHalfRank4(keySlice) || !isHalfRank4(valueTensor) || !isHalfRank4(valueSlice)) return;
    if (insertAtIndex < 0) return;
    const int64_t channels = std::min({keyTensor.shape()[1], keySlice.shape()[1], valueTensor.shape()[1], valueSlice.shape()[1]});
    const int64_t positions = std::min({keySlice.shape()[3], valueSlice.shape()[3],
                                        keyTensor.shape()[3] - insertAtIndex, valueTensor.shape()[3] - insertAtIndex});
    const auto keys = keyTensor.buffer<Float16>();
    const auto values = valueTensor.buffer<Float16>();
    const auto newKeys = keySlice.buffer<Float16>();
    const auto newValues = valueSlice.buffer<Float16>();
    const auto& keyStride = keyTensor.strides();
    const auto& valueStride = valueTensor.strides();
    const auto& keySliceStride = keySlice.strides();
    const auto& valueSliceStride = valueSlice.strides();
    for (int64_t c = 0; c < channels; ++c) {
        for (int64_t j = 0; j < positions; ++j) {
            const int64_t position = insertAtIndex + j;
            keys[static_cast<std::size_t>(c * keyStride[1] + position * keyStride[3])] =
                newKeys[static_cast<std::size_t>(c * keySliceStride[1] + j * keySliceStride[3])];
            values[static_cast<std::size_t>(c * valueStride[1] + position * valueStride[3])] =
                newValues[static_cast<std::size_t>(c * valueSliceStride[1] + j * valueSliceStride[3])];
        }
    }
}

void TextDecoding::updateAlignmentWeights(MLMultiArray& alignmentTensor, const MLMultiArray& alignmentSlice,
                                          int64_t insertAtIndex) {
    const auto isHalfMatrix = [](const MLMultiArray& array) {
        return array.dataType() == MLMultiArrayDataType::float16 && array.shape().size() >= 2;
    };
    if (!isHalfMatrix(alignmentTensor) || !isHalfMatrix(alignmentSlice)) return;
    const int64_t row = insertAtIndex + 1;
    if (row < 0 || row >= alignmentTensor.shape()[0]) return;
    const int64_t columns = std::min(alignmentTensor.shape()[1], alignmentSlice.shape()[1]);
    const auto target = alignmentTensor.buffer<Float16>();
    const auto source = alignmentSlice.buffer<Float16>();
    const auto& targetStride = alignmentTensor.strides();
    const int64_t sourceStride = alignmentSlice.strides()[1];
    for (int64_t j = 0; j < columns; ++j) {
        target[static_cast<std::size_t>(row * targetStride[0] + j * targetStride[1])] =
            source[static_cast<std::size_t>(j * sourceStride)];
    }
}

}  // namespace sonoscribe
