#pragma once

#include <filesystem>
#include <memory>
#include <vector>

#include "tests/support/DecodingTestSupport.h"
#include "speech/engine/TranscribeTask.h"
#include "tests/support/SpeechModelRepository.h"
#include "tests/support/TempDirectory.h"

namespace sonoscribe::testing {

// " Hello world." in the English Whisper vocabulary's text tokens.
inline const std::vector<int64_t>& helloWorldTokens() {
    static const std::vector<int64_t> tokens{18435, 995, 13};
    return tokens;
}

// A scripted window: start of transcript, <|0.00|>, the text, <|end|>, end.
inline testsupport::ScriptedDecoder scriptedWindow(const std::vector<int64_t>& text, float endSeconds = 2.0f,
                                                   int64_t vocabulary = 51864) {
    const auto& tokenizer = vocabulary == 51865 ? multilingualTokenizer() : englishTokenizer();
    const SpecialTokens& special = tokenizer->specialTokens();
    testsupport::ScriptedDecoder decoder;
    decoder.dims = testsupport::narrowWindowDimensions();
    decoder.dims.vocabulary = vocabulary;
    decoder.endToken = special.endToken;
    decoder.script = {special.startOfTranscriptToken, special.timeTokenBegin};
    decoder.script.insert(decoder.script.end(), text.begin(), text.end());
    decoder.script.push_back(special.timeTokenBegin + static_cast<int64_t>(endSeconds / 0.02f + 0.5f));
    decoder.script.push_back(special.endToken);
    return decoder;
}

// The three loaded stages of a scripted model folder, with the tokenizer.
struct ScriptedStages {
    testsupport::TempDirectory folder;
    std::filesystem::path modelFolder;
    std::shared_ptr<FeatureExtractor> featureExtractor = std::make_shared<FeatureExtractor>();
    std::shared_ptr<AudioEncoder> audioEncoder = std::make_shared<AudioEncoder>();
    std::shared_ptr<TextDecoder> textDecoder = std::make_shared<TextDecoder>();
    std::shared_ptr<SegmentSeeker> segmentSeeker = std::make_shared<SegmentSeeker>();
    std::shared_ptr<const WhisperTokenizer> tokenizer;

    explicit ScriptedStages(const testsupport::ScriptedDecoder& decoder)
        : modelFolder(testsupport::writeScriptedModelFolder(folder.path() / "openai_whisper-base.en", decoder)) {
        const auto units = platform::MLComputeUnits::cpuOnly;
        featureExtractor->loadModel(urlOf(modelFolder / "MelSpectrogram.mlmodelc"), units, false);
        audioEncoder->loadModel(urlOf(modelFolder / "AudioEncoder.mlmodelc"), units, false);
        textDecoder->loadModel(urlOf(modelFolder / "TextDecoder.mlmodelc"), units, false);
        const bool multilingual = decoder.dims.vocabulary == 51865;
        tokenizer = multilingual ? multilingualTokenizer() : englishTokenizer();
        textDecoder->setTokenizer(tokenizer);
        textDecoder->setIsModelMultilingual(multilingual);
    }

    std::shared_ptr<TranscribeTask> task(std::shared_ptr<SegmentSeeking> seeker = nullptr) const {
        return std::make_shared<TranscribeTask>(TranscriptionTimings(), nullptr, nullptr, audioEncoder,
                                                featureExtractor, seeker ? seeker : segmentSeeker, textDecoder,
                                                tokenizer);
    }
};

// A quiet noise of `samples` samples, so that windows are not all zeros.
inline std::vector<float> quietNoise(std::size_t samples) {
    std::vector<float> audio(samples);
    uint32_t state = 12345;
    for (float& sample : audio) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 0.02f - 0.01f;
    }
    return audio;
}

}  // namespace sonoscribe::testing
