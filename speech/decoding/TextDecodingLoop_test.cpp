#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "speech/decoding/ArrayElements.h"
#include "tests/support/DecodingTestSupport.h"
#include "speech/decoding/SegmentSeeker.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using testing::englishTokenizer;
using testing::multilingualTokenizer;
using testing::ScriptedRun;
using testing::scriptFor;

// " Hello world." in the Whisper vocabularies' text tokens.
const std::vector<int64_t> helloWorld{18435, 995, 13};

DecodingOptions withoutTimestamps() {
    DecodingOptions options;
    options.withoutTimestamps = true;
    return options;
}

std::vector<int64_t> joined(std::initializer_list<std::vector<int64_t>> parts) {
    std::vector<int64_t> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct Decoded {
    DecodingResult result;
    std::shared_ptr<DecodingInputsType> inputs;
};

Decoded decode(ScriptedRun& run, const DecodingOptions& options, const TranscriptionCallback& callback = {}) {
    auto inputs = run.prefilled(options);
    GreedyTokenSampler sampler(0, run.decoder->tokenizer()->specialTokens().endToken, options);
    auto result = run.decoder->decodeText(*run.encoderOutput(), *inputs, sampler, options, callback);
    return {std::move(result), std::move(inputs)};
}

TEST(TextDecodingLoop, FeedsThePromptThenKeepsWhatTheModelPredicts) {
    const auto& special = englishTokenizer()->specialTokens();
    const auto prompt = std::vector<int64_t>{special.startOfTranscriptToken, special.noTimestampsToken};
    ScriptedRun run(scriptFor(51864, joined({prompt, helloWorld, {special.endToken}})), englishTokenizer(), false);
    const auto [result, inputs] = decode(run, withoutTimestamps());

    EXPECT_EQ(result.tokens, joined({prompt, helloWorld, {special.endToken}}));
    EXPECT_EQ(result.text, "<|startoftranscript|><|notimestamps|> Hello world.<|endoftext|>");
    ASSERT_EQ(result.tokenLogProbs.size(), result.tokens.size());
    EXPECT_EQ(result.tokenLogProbs[2].begin()->first, 18435);
    EXPECT_NEAR(result.tokenLogProbs[2].begin()->second, 0, 1e-3);
    // Four steps: the prompt's two (the first prediction dropped), two more
    // words kept, and the step that predicts the end. Only the first four
    // wrote the cache; the end token comes from finalize.
    ASSERT_TRUE(result.timings);
    EXPECT_EQ(result.timings->totalDecodingLoops, 5);
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 4);
    EXPECT_EQ(result.language, "en");
    EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"en", 0.0f}}));
    EXPECT_EQ(result.noSpeechProb, 0);
    // Keys of position p hold p, values -p; position 4 was never written.
    const auto& filled = dynamic_cast<const DecodingInputs&>(*inputs);
    ASSERT_TRUE(result.cache);
    EXPECT_EQ(result.cache->keyCache, filled.keyCache);
    for (int64_t position = 0; position < 5; ++position) {
        const double written = position < 4 ? static_cast<double>(position) : 0.0;
        EXPECT_EQ(elementValue(*filled.keyCache, 3 * 224 + position), written) << position;
        EXPECT_EQ(elementValue(*filled.valueCache, 3 * 224 + position), -written) << position;
        EXPECT_EQ(elementValue(*filled.decoderKeyPaddingMask, position), 0) << position;
    }
    EXPECT_EQ(elementValue(*filled.decoderKeyPaddingMask, 5), -10000);
    EXPECT_EQ(elementValue(*filled.kvCacheUpdateMask, 4), 1);
}

TEST(TextDecodingLoop, StopsAtTheSampleLengthAt223StepsOrOnePositionShortOfTheCache) {
    const auto& special = englishTokenizer()->specialTokens();
    const struct {
        const char* name;
        int64_t cacheSlots;
        int64_t sampleLength;
        double steps;
    } cases[] = {
        {"sample length 10", 224, 10, 10},
        {"default length on a 224 cache", 224, 224, 223},
        {"default length on a 32 cache", 32, 224, 31},
        {"default length on a 448 cache", 448, 224, 223},
        {"long sample length on a 448 cache", 448, 400, 223},
    };
    for (const auto& c : cases) {
        // A script that never ends: the same word for ever.
        std::vector<int64_t> script{special.startOfTranscriptToken, special.noTimestampsToken};
        script.resize(static_cast<std::size_t>(c.cacheSlots + 1), 995);
        ScriptedRun run(scriptFor(51864, script, c.cacheSlots), englishTokenizer(), false);
        auto options = withoutTimestamps();
        options.sampleLength = c.sampleLength;
        const auto [result, inputs] = decode(run, options);
        EXPECT_EQ(result.timings->totalDecodingLoops, c.steps) << c.name;
        EXPECT_EQ(result.tokens.back(), special.endToken) << c.name;
        EXPECT_LE(result.tokens.size(), static_cast<std::size_t>(c.cacheSlots)) << c.name;
        // A looping window compresses well and asks for a retry.
        if (c.steps > 100) {
            ASSERT_TRUE(result.fallback) << c.name;
            EXPECT_EQ(result.fallback->fallbackReason, "compressionRatioThreshold") << c.name;
        }
    }
}

TEST(TextDecodingLoop, AnUnlikelyFirstTokenEndsTheWindowAndAsksForFallback) {
    const auto& special = englishTokenizer()->specialTokens();
    const auto script = joined({{special.startOfTranscriptToken, special.noTimestampsToken}, helloWorld, {special.endToken}});
    const struct {
        std::optional<float> threshold;
        double steps;
        bool fallback;
    } cases[] = {{-1.5f, 1, true}, {std::nullopt, 5, false}};
    for (const auto& c : cases) {
        auto decoderModel = scriptFor(51864, script);
        // A margin of 9 over 51863 rivals gives the prediction after the first
        // fed token about -2.
        decoderModel.margins = {20, 9};
        ScriptedRun run(decoderModel, englishTokenizer(), false);
        auto options = withoutTimestamps();
        options.firstTokenLogProbThreshold = c.threshold;
        options.logProbThreshold.reset();
        const auto [result, inputs] = decode(run, options);
        EXPECT_EQ(result.timings->totalDecodingLoops, c.steps);
        EXPECT_EQ(result.fallback.has_value(), c.fallback);
        if (c.fallback) {
            EXPECT_TRUE(result.fallback->needsFallback);
            EXPECT_EQ(result.fallback->fallbackReason, "firstTokenLogProbThreshold");
            // Stopped before any token was kept: its first-token time never came.
            EXPECT_EQ(result.tokens, (std::vector<int64_t>{special.startOfTranscriptToken, special.noTimestampsToken, special.endToken}));
            EXPECT_EQ(result.timings->firstTokenTime, std::numeric_limits<double>::max());
        }
    }
}

// Greedy sampling that raises a flag when asked to finalize, which the loop
// does once it has ended and closed the window's early-stop flag.
class SignalsFinalize final : public TokenSampling {
public:
    SignalsFinalize(int64_t endToken, std::shared_ptr<std::atomic<bool>> finalized)
        : greedy_(0, endToken, DecodingOptions()), finalized_(std::move(finalized)) {}

    SamplingResult update(const std::vector<int64_t>& tokens, const platform::MLMultiArray& logits,
                          const std::vector<float>& logProbs) override {
        return greedy_.update(tokens, logits, logProbs);
    }
    SamplingResult finalize(const std::vector<int64_t>& tokens, const std::vector<float>& logProbs) override {
        *finalized_ = true;
        return greedy_.finalize(tokens, logProbs);
    }

private:
    GreedyTokenSampler greedy_;
    std::shared_ptr<std::atomic<bool>> finalized_;
};

TEST(TextDecodingLoop, ACallbackAnsweringFalseStopsTheWindowAndLateAnswersChangeNothing) {
    const auto& special = englishTokenizer()->specialTokens();
    std::vector<int64_t> script{special.startOfTranscriptToken, special.noTimestampsToken};
    script.resize(225, 995);
    ScriptedRun run(scriptFor(51864, script), englishTokenizer(), false);

    auto errors = std::make_shared<std::vector<std::string>>();
    auto errorsMutex = std::make_shared<std::mutex>();
    Logging::updateLogLevel(Logging::LogLevel::error);
    Logging::updateCallback([errors, errorsMutex](const std::string& message) {
        std::lock_guard guard(*errorsMutex);
        errors->push_back(message);
    });

    // Stops once three tokens were generated; nil answers never stop.
    const auto stopAtThird = [](const TranscriptionProgress& progress) -> std::optional<bool> {
        if (progress.tokens.size() >= 5) return false;
        return std::nullopt;
    };
    const auto stopped = decode(run, withoutTimestamps(), stopAtThird).result;
    EXPECT_GE(stopped.tokens.size(), 6u);
    EXPECT_LT(stopped.tokens.size(), 60u);
    EXPECT_EQ(stopped.tokens.back(), special.endToken);

    const auto never = [](const TranscriptionProgress&) -> std::optional<bool> { return std::nullopt; };
    EXPECT_EQ(decode(run, withoutTimestamps(), never).result.timings->totalDecodingLoops, 223);

    // Answers that arrive after the window ended find no flag to set, and
    // the window returns only once every answer is in: a callback may refer
    // to its caller's stack.
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto answered = std::make_shared<std::atomic<int>>(0);
    const auto late = [released, answered](const TranscriptionProgress&) -> std::optional<bool> {
        while (!*released) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++*answered;
        return false;
    };
    auto options = withoutTimestamps();
    options.sampleLength = 6;
    auto inputs = run.prefilled(options);
    SignalsFinalize sampler(special.endToken, released);
    const auto result = run.decoder->decodeText(*run.encoderOutput(), *inputs, sampler, options, late);
    EXPECT_EQ(*answered, 6);
    EXPECT_EQ(result.timings->totalKVUpdateRuns, 6);
    EXPECT_EQ(run.decoder->earlyStopActor()->count(), 0u);
    Logging::updateCallback(nullptr);
    Logging::updateLogLevel(Logging::LogLevel::none);
    std::lock_guard guard(*errorsMutex);
    EXPECT_EQ(*errors, std::vector<std::string>{});
}

// Holds the step at the prompt's last position until the answers to the
// reports before it are in, so that a stop they asked for would be seen.
class WaitsForPromptAnswers final : public LogitsFiltering {
public:
    WaitsForPromptAnswers(std::size_t promptLength, std::shared_ptr<std::atomic<std::size_t>> answered)
        : promptLength_(promptLength), answered_(std::move(answered)) {}

    std::shared_ptr<platform::MLMultiArray> filterLogits(std::shared_ptr<platform::MLMultiArray> logits,
                                                         const std::vector<int64_t>&) override {
        if (++calls_ == promptLength_) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (*answered_ < promptLength_ - 1 && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // Time for the last answer's task to act on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return logits;
    }

private:
    std::size_t promptLength_;
    std::shared_ptr<std::atomic<std::size_t>> answered_;
    std::size_t calls_ = 0;
};

// The predictions at the prompt's positions are dropped, and so are the
// answers to their reports: asking to stop there never stops the window.
TEST(TextDecodingLoop, AnswersWhileThePromptIsFedNeverStopTheWindow) {
    const auto& special = englishTokenizer()->specialTokens();
    const std::vector<int64_t> previous{400, 401, 402, 403};
    const auto prompt =
        joined({{special.startOfPreviousToken}, previous, {special.startOfTranscriptToken, special.noTimestampsToken}});
    ScriptedRun run(scriptFor(51864, joined({prompt, helloWorld, {special.endToken}})), englishTokenizer(), false);
    auto options = withoutTimestamps();
    options.promptTokens = previous;
    auto answered = std::make_shared<std::atomic<std::size_t>>(0);
    run.decoder->setLogitsFilters(
        std::vector<std::shared_ptr<LogitsFiltering>>{std::make_shared<WaitsForPromptAnswers>(prompt.size(), answered)});
    // Until the prompt's last position the tokens are the prompt alone.
    const auto stopDuringPrompt = [answered, length = prompt.size()](const TranscriptionProgress& progress) {
        if (progress.tokens.size() != length) return std::optional<bool>();
        ++*answered;
        return std::optional<bool>(false);
    };
    const auto result = decode(run, options, stopDuringPrompt).result;
    EXPECT_EQ(*answered, prompt.size() - 1);
    EXPECT_EQ(result.tokens, joined({{special.startOfTranscriptToken, special.noTimestampsToken}, helloWorld,
                                     {special.endToken}}));
}

TEST(TextDecodingLoop, KeepsTheTimestampGrammarBehindPreviousTextAndCutsSegmentsAtTimestampPairs) {
    const auto& tokenizer = *multilingualTokenizer();
    const auto& special = tokenizer.specialTokens();
    const int64_t german = *tokenizer.convertTokenToId("<|de|>");
    const int64_t t0 = special.timeTokenBegin;
    const std::vector<int64_t> previous{400, 401, 402};
    const std::vector<int64_t> prompt = joined(
        {{special.startOfPreviousToken}, previous, {special.startOfTranscriptToken, german, special.transcribeToken, t0}});
    DecodingOptions options;
    options.language = "de";
    options.promptTokens = previous;

    // After the first phrase the model wants "no timestamps": the grammar
    // rules it out, timestamps outweigh every single text token, and the
    // earliest one closes the phrase.
    const auto forbidden = joined({prompt, helloWorld, {special.noTimestampsToken, special.endToken}});
    ScriptedRun ruled(scriptFor(51865, forbidden), multilingualTokenizer(), true);
    EXPECT_EQ(decode(ruled, options).result.tokens,
              joined({{special.startOfTranscriptToken, german, special.transcribeToken, t0}, helloWorld,
                      {t0, special.endToken}}));

    const auto phrases = joined({prompt, helloWorld, {t0 + 150, t0 + 150}, helloWorld, {t0 + 300, special.endToken}});
    ScriptedRun run(scriptFor(51865, phrases), multilingualTokenizer(), true);
    const auto [result, inputs] = decode(run, options);
    EXPECT_EQ(result.tokens.front(), special.startOfTranscriptToken);
    EXPECT_EQ(result.language, "de");
    EXPECT_EQ(result.languageProbs, (std::map<std::string, float>{{"de", 0.0f}}));

    SegmentSeeker seeker;
    const auto [seek, segments] =
        seeker.findSeekPointAndSegments(result, options, 3, 480000, 480000, 16000, t0, special.specialTokenBegin, tokenizer);
    ASSERT_TRUE(segments);
    ASSERT_EQ(segments->size(), 2u);
    EXPECT_EQ((*segments)[0].id, 3);
    EXPECT_FLOAT_EQ((*segments)[0].start, 30.0f);
    EXPECT_FLOAT_EQ((*segments)[0].end, 33.0f);
    EXPECT_FLOAT_EQ((*segments)[1].start, 33.0f);
    EXPECT_FLOAT_EQ((*segments)[1].end, 36.0f);
    EXPECT_EQ(seek, 480000 + 96000);
}

TEST(TextDecodingLoop, DetectsTheScriptedLanguageInOneStep) {
    const auto& tokenizer = *multilingualTokenizer();
    const auto& special = tokenizer.specialTokens();
    const int64_t german = *tokenizer.convertTokenToId("<|de|>");
    // The model favours a text token; only language tokens may be chosen.
    auto decoderModel = scriptFor(51865, {special.startOfTranscriptToken, german});
    ScriptedRun run(decoderModel, multilingualTokenizer(), true);
    const auto inputs = run.decoder->prepareDecoderInputs({});
    GreedyTokenSampler sampler(0, special.endToken, DecodingOptions());
    const auto result = run.decoder->detectLanguage(*run.encoderOutput(), *inputs, sampler, DecodingOptions(), 0);
    EXPECT_EQ(result.language, "de");
    ASSERT_EQ(result.languageProbs.size(), 1u);
    EXPECT_NEAR(result.languageProbs.at("de"), 0, 1e-4);
    EXPECT_TRUE(result.tokens.empty());
    EXPECT_FALSE(result.fallback);

    const auto filter = run.decoder->languageLogitsFilter();
    ASSERT_TRUE(filter);
    EXPECT_EQ(filter->nonLanguageTokenIndexes.size(), 51766u);
    run.decoder->detectLanguage(*run.encoderOutput(), *inputs, sampler, DecodingOptions(), 0);
    EXPECT_EQ(run.decoder->languageLogitsFilter(), filter);
    run.decoder->unloadModel();
    EXPECT_FALSE(run.decoder->languageLogitsFilter());
}

TEST(TextDecodingLoop, MalformedModelsAndMissingPartsFailWithTheirMessages) {
    using Malformation = testsupport::ScriptedDecoder::Malformation;
    const auto& special = englishTokenizer()->specialTokens();
    const auto script = joined({{special.startOfTranscriptToken, special.noTimestampsToken}, helloWorld});
    const struct {
        Malformation malformation;
        WhisperError expected;
    } cases[] = {
        {Malformation::missingValueUpdates, WhisperError::decodingFailed("Invalid model output")},
        {Malformation::float32Logits, WhisperError::decodingLogitsFailed("Unable to decode logits")},
        {Malformation::keyCacheWithoutLength,
         WhisperError::prepareDecoderInputsFailed("Unable to determine kvCacheMaxSequenceLength")},
    };
    for (const auto& c : cases) {
        auto decoderModel = scriptFor(51864, script);
        decoderModel.malformation = c.malformation;
        ScriptedRun run(decoderModel, englishTokenizer(), false);
        try {
            decode(run, withoutTimestamps());
            ADD_FAILURE() << c.expected.what();
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, c.expected);
        }
    }

    ScriptedRun run(scriptFor(51864, script), englishTokenizer(), false);
    const auto inputs = run.prefilled(withoutTimestamps());
    GreedyTokenSampler sampler(0, special.endToken, DecodingOptions());
    run.decoder->unloadModel();
    try {
        run.decoder->decodeText(*run.encoderOutput(), *inputs, sampler, withoutTimestamps(), {});
        ADD_FAILURE();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::decodingLogitsFailed("Unable to decode logits"));
    }
    try {
        run.decoder->detectLanguage(*run.encoderOutput(), *inputs, sampler, DecodingOptions(), 0);
        ADD_FAILURE();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::modelsUnavailable("Failed to read logits size from model"));
    }
    run.decoder->setTokenizer(nullptr);
    try {
        run.decoder->prefillDecoderInputs(inputs, DecodingOptions());
        ADD_FAILURE();
    } catch (const WhisperError& error) {
        EXPECT_EQ(error, WhisperError::tokenizerUnavailable("Tokenizer is unavailable"));
    }
}

}  // namespace
}  // namespace sonoscribe
