// The engine's own work per decoded token (logits filters, log-softmax and
// sampling over the vocabulary, the key-value cache copy, progress) against
// the model runtime's bare decoder step, both at base sizes and in the same
// run; word timings of a full window; and a whole window decoded with the
// scripted decoder.
#include <algorithm>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchStatistics.h"
#include "mlcore/foundation/MLMultiArrayExtensions.h"
#include "mlcore/hub/HubWrapper.h"
#include "mlcore/tokenizers/AutoTokenizer.h"
#include "platform/coreml/MLModel.h"
#include "speech/decoding/ModelFeatures.h"
#include "speech/decoding/SegmentSeeker.h"
#include "speech/decoding/TextDecoder.h"
#include "tests/support/ScriptedDecoder.h"
#include "tests/support/SpeechModelTrio.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/WhisperTokenizerFiles.h"

using namespace sonoscribe;
using Clock = std::chrono::steady_clock;

namespace {

using benchsupport::median;

double milliseconds(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

platform::URL urlOf(const std::filesystem::path& path) { return platform::URL::fileURLWithPath(path.string(), true); }

std::shared_ptr<platform::MLMultiArray> randomEmbeddings(const testsupport::TrioDimensions& dims) {
    auto array = celvan::makeMultiArray({1, dims.width, 1, dims.encoderFrames}, platform::MLMultiArrayDataType::float16,
                                        platform::Float16{0});
    std::mt19937 random(3);
    std::normal_distribution<float> normal;
    for (auto& value : array->buffer<platform::Float16>()) value = static_cast<platform::Float16>(normal(random));
    return array;
}

struct WindowRun {
    DecodingResult result;
    double wallMs;
};

WindowRun decodeWindow(TextDecoder& decoder, const std::shared_ptr<platform::MLMultiArray>& embeddings, bool withProgress) {
    DecodingOptions options;
    auto inputs = decoder.prefillDecoderInputs(decoder.prepareDecoderInputs({}), options);
    GreedyTokenSampler sampler(0, decoder.tokenizer()->specialTokens().endToken, options);
    const TranscriptionCallback progress = [](const TranscriptionProgress&) -> std::optional<bool> { return std::nullopt; };
    const auto start = Clock::now();
    auto result = decoder.decodeText(*makeStageValue(embeddings), *inputs, sampler, options, withProgress ? progress : TranscriptionCallback{});
    return {std::move(result), milliseconds(start)};
}

// The bare step: one prediction of the decoder with the window's arrays,
// nothing else.
double bareStepMs(TextDecoder& decoder, const std::shared_ptr<platform::MLMultiArray>& embeddings) {
    auto prepared = decoder.prepareDecoderInputs({});
    auto& inputs = dynamic_cast<DecodingInputs&>(*prepared);
    std::vector<double> times;
    for (int32_t position = 0; position < 24; ++position) {
        inputs.inputIds()->buffer<int32_t>()[0] = 50257 + position;
        inputs.cacheLength()->buffer<int32_t>()[0] = position;
        const TextDecoderInput input(inputs.inputIds(), inputs.cacheLength(), inputs.keyCache, inputs.valueCache,
                                     inputs.kvCacheUpdateMask, embeddings, inputs.decoderKeyPaddingMask);
        const auto start = Clock::now();
        decoder.model()->prediction(input);
        if (position > 0) times.push_back(milliseconds(start));
    }
    return median(times);
}

}  // namespace

int main() {
    testsupport::TempDirectory folder;
    const auto english = testsupport::englishWhisperTokenizerFolder();
    const celvan::HubApiWrapper hubApi(urlOf(folder.path() / "hub-cache"), std::string(), "http://127.0.0.1:9");
    const auto tokenizer = std::make_shared<WhisperTokenizerWrapper>(
        celvan::TokenizerWrapper(celvan::AutoTokenizer::fromModelFolder(urlOf(english), hubApi, true)), urlOf(english));
    const auto dims = testsupport::TrioDimensions::baseEn();
    const auto embeddings = randomEmbeddings(dims);

    // The random base decoder: the runtime's step and the engine's work around it.
    TextDecoder random;
    random.loadModel(urlOf(testsupport::writeTextDecoder(folder.path() / "TextDecoder.mlmodelc", dims, 7)),
                     platform::MLComputeUnits::cpuOnly, false);
    random.setTokenizer(tokenizer);
    const double stepMs = bareStepMs(random, embeddings);
    std::vector<double> engineMs, filterMs, samplingMs, cacheMs;
    double loops = 0;
    for (int round = 0; round < 3; ++round) {
        const auto run = decodeWindow(random, embeddings, true);
        const auto& timings = *run.result.timings;
        loops = timings.totalDecodingLoops;
        engineMs.push_back((timings.decodingLoop - timings.decodingPredictions) * 1000.0 / loops);
        filterMs.push_back(timings.decodingFiltering * 1000.0 / loops);
        samplingMs.push_back(timings.decodingSampling * 1000.0 / loops);
        cacheMs.push_back(timings.decodingKvCaching * 1000.0 / loops);
    }
    const double engine = median(engineMs);

    // Word timings over a full window: 224 tokens by 1500 frames.
    const std::string speech =
        "So the plan for today is simple. We meet at nine, go over the numbers from last week, and then, if "
        "everyone agrees, we ship the new version before lunch. ";
    std::vector<int64_t> spoken;
    while (spoken.size() < 222) {
        for (const int64_t token : tokenizer->tokenizer().encode(speech, false)) {
            if (spoken.size() < 222) spoken.push_back(token);
        }
    }
    TranscriptionSegment segment;
    segment.tokens = {tokenizer->specialTokens().startOfTranscriptToken, tokenizer->specialTokens().timeTokenBegin};
    segment.tokens.insert(segment.tokens.end(), spoken.begin(), spoken.end());
    for (const int64_t token : segment.tokens) segment.tokenLogProbs.push_back({{token, -0.2f}});
    segment.end = 30;
    // Cross-attention of speech runs down a diagonal: each token attends to a
    // few frames around its place in the audio, over some noise.
    platform::MLMultiArray alignment({224, 1500}, platform::MLMultiArrayDataType::float16);
    std::mt19937 noise(9);
    std::uniform_real_distribution<float> uniform(0, 0.05f);
    auto weights = alignment.buffer<platform::Float16>();
    for (int64_t row = 0; row < 224; ++row) {
        const double centre = static_cast<double>(row) * 1500.0 / 224.0;
        for (int64_t frame = 0; frame < 1500; ++frame) {
            const double distance = (static_cast<double>(frame) - centre) / 4.0;
            weights[static_cast<std::size_t>(row * 1500 + frame)] =
                static_cast<platform::Float16>(std::exp(-distance * distance) + uniform(noise));
        }
    }
    SegmentSeeker seeker;
    std::vector<double> wordMs;
    std::size_t words = 0;
    for (int round = 0; round < 15; ++round) {
        const auto start = Clock::now();
        const auto timed = seeker.addWordTimestamps({segment}, alignment, *tokenizer, 0, 480000,
                                                    std::string(Constants::defaultPrependPunctuations),
                                                    std::string(Constants::defaultAppendPunctuations), 0, DecodingOptions(), {});
        wordMs.push_back(milliseconds(start));
        words = timed->front().words->size();
    }

    // A whole window played by the scripted decoder at base sizes.
    testsupport::ScriptedDecoder decoderModel;
    decoderModel.dims = dims;
    decoderModel.script = {tokenizer->specialTokens().startOfTranscriptToken, tokenizer->specialTokens().timeTokenBegin};
    decoderModel.script.insert(decoderModel.script.end(), spoken.begin(), spoken.begin() + 221);
    TextDecoder scripted;
    scripted.loadModel(urlOf(decoderModel.write(folder.path() / "Scripted.mlmodelc")), platform::MLComputeUnits::cpuOnly, false);
    scripted.setTokenizer(tokenizer);
    std::vector<double> tokensPerSecond;
    for (int round = 0; round < 3; ++round) {
        const auto run = decodeWindow(scripted, embeddings, true);
        tokensPerSecond.push_back(run.result.timings->totalDecodingLoops / (run.wallMs / 1000.0));
    }

    std::printf("window steps: %.0f, words timed: %zu\n", loops, words);
    std::printf("decoder_step_ms: %.3f\n", stepMs);
    std::printf("engine_ms_per_token: %.3f\n", engine);
    std::printf("engine_share_of_step: %.3f\n", engine / stepMs);
    std::printf("filters_ms_per_token: %.3f\n", median(filterMs));
    std::printf("sampling_ms_per_token: %.3f\n", median(samplingMs));
    std::printf("cache_copy_ms_per_token: %.3f\n", median(cacheMs));
    std::printf("word_timings_ms: %.2f\n", median(wordMs));
    std::printf("scripted_tokens_per_s: %.0f\n", median(tokensPerSecond));
    return 0;
}
