#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mlcore/foundation/MLMultiArrayExtensions.h"
#include "tests/support/TokenizerTestSupport.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/decoding/WhisperTokenizer.h"
#include "tests/support/ScriptedDecoder.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/WhisperTokenizerFiles.h"

namespace sonoscribe::testing {

inline std::shared_ptr<const WhisperTokenizerWrapper> loadWhisperTokenizer(const std::filesystem::path& folder) {
    return std::make_shared<WhisperTokenizerWrapper>(
        celvan::TokenizerWrapper(celvan::testing::tokenizerFromFolder(folder)),
        platform::URL::fileURLWithPath(folder.string(), true));
}

// Loaded once per test program: the vocabularies are large.
inline const std::shared_ptr<const WhisperTokenizerWrapper>& englishTokenizer() {
    static const auto tokenizer = loadWhisperTokenizer(testsupport::englishWhisperTokenizerFolder());
    return tokenizer;
}

inline const std::shared_ptr<const WhisperTokenizerWrapper>& multilingualTokenizer() {
    static const testsupport::TempDirectory folder;
    static const auto tokenizer =
        loadWhisperTokenizer(testsupport::writeMultilingualWhisperTokenizer(folder.path() / "whisper-multilingual"));
    return tokenizer;
}

inline platform::URL urlOf(const std::filesystem::path& path) {
    return platform::URL::fileURLWithPath(path.string(), true);
}

// A decoder model of real vocabulary and cache length, narrow everywhere else
// so that each step is quick.
inline testsupport::TrioDimensions scriptDimensions(int64_t vocabulary, int64_t cacheSlots = 224) {
    testsupport::TrioDimensions dims;
    dims.vocabulary = vocabulary;
    dims.cacheSlots = cacheSlots;
    dims.width = 8;
    dims.decoderLayers = 1;
    dims.encoderFrames = 1500;
    return dims;
}

// A scripted decoder over one of the two Whisper vocabularies (51864 English,
// 51865 multilingual), ending with that vocabulary's end token.
inline testsupport::ScriptedDecoder scriptFor(int64_t vocabulary, std::vector<int64_t> script = {}, int64_t cacheSlots = 224) {
    testsupport::ScriptedDecoder decoderModel;
    decoderModel.dims = scriptDimensions(vocabulary, cacheSlots);
    decoderModel.script = std::move(script);
    decoderModel.endToken = vocabulary == 51865 ? 50257 : 50256;
    return decoderModel;
}

// A loaded decoder that plays `script`, with the tokenizer set.
struct ScriptedRun {
    testsupport::TempDirectory folder;
    std::shared_ptr<TextDecoder> decoder = std::make_shared<TextDecoder>();
    testsupport::TrioDimensions dims;

    ScriptedRun(const testsupport::ScriptedDecoder& decoderModel, std::shared_ptr<const WhisperTokenizer> tokenizer,
                bool multilingual)
        : dims(decoderModel.dims) {
        decoder->loadModel(urlOf(decoderModel.write(folder.path() / "TextDecoder.mlmodelc")), platform::MLComputeUnits::cpuOnly,
                           false);
        decoder->setTokenizer(std::move(tokenizer));
        decoder->setIsModelMultilingual(multilingual);
    }

    // Zero embeddings of the window's shape: the scripted decoder ignores them.
    std::shared_ptr<MLMultiArrayValue> encoderOutput() const {
        return makeStageValue(celvan::makeMultiArray({1, dims.width, 1, dims.encoderFrames},
                                                     platform::MLMultiArrayDataType::float16, platform::Float16{0}));
    }

    std::shared_ptr<DecodingInputsType> prefilled(const DecodingOptions& options) {
        return decoder->prefillDecoderInputs(decoder->prepareDecoderInputs({}), options);
    }
};

}  // namespace sonoscribe::testing
