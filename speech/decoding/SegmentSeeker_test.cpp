#include "speech/decoding/SegmentSeeker.h"

#include <gtest/gtest.h>

#include "tests/support/DecodingTestSupport.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

TEST(SegmentSeeker, CutsSegmentsAtTimestampPairsAndSeeksToTheLastClosedOne) {
    const auto& tokenizer = *testing::englishTokenizer();
    const int64_t t = tokenizer.specialTokens().timeTokenBegin;
    const int64_t end = tokenizer.specialTokens().endToken;
    const int64_t window = 480000;
    struct Span {
        float start;
        float end;
        std::size_t tokens;
    };
    const struct {
        const char* name;
        std::vector<int64_t> tokens;
        std::vector<Span> segments;
        int64_t seek;
    } cases[] = {
        {"single timestamp ending", {t + 10, 400, t + 50, t + 60, 401, t + 100, end}, {{10.2f, 11.0f, 3}, {11.2f, 12.0f, 3}},
         160000 + 32000},
        {"ends in a timestamp pair", {t, 400, t + 50, t + 50, end}, {{10.0f, 11.0f, 3}}, 160000 + 16000},
        {"text after the last pair", {t, 400, t + 50, t + 50, 401, 402, 403}, {{10.0f, 11.0f, 3}, {11.0f, 11.0f, 4}},
         160000 + window},
        {"no pair, last timestamp 12.40", {t, 400, 401, t + 620, end}, {{10.0f, 22.4f, 5}}, 160000 + window},
        {"only the 0.00 timestamp", {t, 400, 401, end}, {{10.0f, 40.0f, 4}}, 160000 + window},
    };
    SegmentSeeker seeker;
    DecodingOptions options;
    options.noSpeechThreshold.reset();
    for (const auto& c : cases) {
        DecodingResult result;
        result.tokens = c.tokens;
        for (const int64_t token : c.tokens) result.tokenLogProbs.push_back({{token, -0.5f}});
        result.avgLogProb = -0.3f;
        const auto [seek, segments] = seeker.findSeekPointAndSegments(result, options, 2, 160000, window, 16000, t,
                                                                      tokenizer.specialTokens().specialTokenBegin, tokenizer);
        EXPECT_EQ(seek, c.seek) << c.name;
        ASSERT_TRUE(segments) << c.name;
        ASSERT_EQ(segments->size(), c.segments.size()) << c.name;
        for (std::size_t i = 0; i < c.segments.size(); ++i) {
            const auto& segment = (*segments)[i];
            EXPECT_EQ(segment.id, static_cast<int64_t>(2 + i)) << c.name;
            EXPECT_FLOAT_EQ(segment.start, c.segments[i].start) << c.name << " " << i;
            EXPECT_FLOAT_EQ(segment.end, c.segments[i].end) << c.name << " " << i;
            EXPECT_EQ(segment.tokens.size(), c.segments[i].tokens) << c.name << " " << i;
            EXPECT_EQ(segment.tokenLogProbs.size(), segment.tokens.size()) << c.name;
            EXPECT_FLOAT_EQ(segment.avgLogprob, -0.3f) << c.name;
        }
    }
}

TEST(SegmentSeeker, SkipsSilenceUnlessTheTextIsConfident) {
    const auto& tokenizer = *testing::englishTokenizer();
    const int64_t t = tokenizer.specialTokens().timeTokenBegin;
    const struct {
        std::optional<float> noSpeechThreshold;
        float avgLogProb;
        bool skipped;
    } cases[] = {{0.6f, -1.5f, true}, {0.6f, -0.5f, false}, {std::nullopt, -1.5f, false}};
    for (const auto& c : cases) {
        DecodingOptions options;
        options.noSpeechThreshold = c.noSpeechThreshold;
        DecodingResult result;
        result.tokens = {t, 400, t + 10};
        result.noSpeechProb = 0.7f;
        result.avgLogProb = c.avgLogProb;
        const auto [seek, segments] = SegmentSeeker().findSeekPointAndSegments(result, options, 0, 0, 480000, 16000, t, 0, tokenizer);
        EXPECT_EQ(!segments.has_value(), c.skipped);
        if (c.skipped) {
            EXPECT_EQ(seek, 480000);
        }
    }
}

WordTiming word(std::string text, float start, float end, std::vector<int64_t> tokens = {1}) {
    return WordTiming{std::move(text), std::move(tokens), start, end, 0.9f};
}

TEST(WordTimestamps, MergesPunctuationAndRepairsImplausibleDurations) {
    SegmentSeeker seeker;
    const std::string prepend(Constants::defaultPrependPunctuations), append(Constants::defaultAppendPunctuations);
    const auto texts = [](const std::vector<WordTiming>& words) {
        std::vector<std::string> out;
        for (const auto& w : words) out.push_back(w.word);
        return out;
    };
    const auto open = seeker.mergePunctuations({word(" (", 0, 1, {1}), word(" Hello", 1, 2, {2})}, prepend, append);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0], (WordTiming{" ( Hello", {1, 2}, 1, 2, 0.9f}));
    const auto closed = seeker.mergePunctuations({word(" Hello", 1, 2, {1}), word(",", 2, 3, {2}), word(".", 3, 4, {3})}, prepend, append);
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0], (WordTiming{" Hello,.", {1, 2, 3}, 1, 2, 0.9f}));
    EXPECT_EQ(texts(seeker.mergePunctuations({word(" Hello ", 1, 2), word(",", 2, 3)}, prepend, append)),
              std::vector<std::string>{" Hello "});

    const struct {
        std::vector<WordTiming> words;
        float median;
    } constraints[] = {
        {{word("a", 1, 1), word("b", 2, 1.5f)}, 0},
        {{word("a", 0, 0.2f), word("b", 0, 0.4f), word("c", 0, 0.6f)}, 0.4f},
        {{word("a", 0, 2), word("b", 0, 3)}, 0.7f},
    };
    for (const auto& c : constraints) {
        const auto [median, max] = seeker.calculateWordDurationConstraints(c.words);
        EXPECT_FLOAT_EQ(median, c.median);
        EXPECT_FLOAT_EQ(max, 2 * c.median);
    }

    const auto truncated = seeker.truncateLongWordsAtSentenceBoundaries(
        {word(".", 0, 3), word(" so", 3, 4), word(".", 4, 6), word(" Then", 6, 8)}, 1.0f);
    EXPECT_FLOAT_EQ(truncated[0].end, 3);  // the first word is never cut
    EXPECT_FLOAT_EQ(truncated[2].end, 5);
    EXPECT_FLOAT_EQ(truncated[3].start, 7);
}

TEST(WordTimestamps, TimesWordsFromTheDiagonalAlignmentOfADecodedWindow) {
    const auto& tokenizer = *testing::englishTokenizer();
    const auto& special = tokenizer.specialTokens();
    const int64_t t = special.timeTokenBegin;
    const auto token = [&](const char* text) { return *tokenizer.convertTokenToId(text); };
    const std::vector<int64_t> spoken{token("\u0120Hello"), token(","), token("\u0120world"), token(".")};

    // The same window decoded with and without previous text: the alignment
    // rows follow the window's own tokens either way.
    std::vector<std::vector<WordTiming>> timings;
    for (const bool withPrevious : {false, true}) {
        std::vector<int64_t> script;
        if (withPrevious) script = {special.startOfPreviousToken, 400, 401, 402, 403};
        script.insert(script.end(), {special.startOfTranscriptToken, t});
        script.insert(script.end(), spoken.begin(), spoken.end());
        script.insert(script.end(), {t + 100, special.endToken});
        auto decoderModel = testing::scriptFor(51864, script);
        // Token r of the window peaks at frame 20 r.
        decoderModel.alignmentFramesPerToken = 20;
        decoderModel.alignmentStart = withPrevious ? 5 : 0;
        testing::ScriptedRun run(decoderModel, testing::englishTokenizer(), false);
        DecodingOptions options;
        if (withPrevious) options.promptTokens = std::vector<int64_t>{400, 401, 402, 403};
        auto inputs = run.prefilled(options);
        GreedyTokenSampler sampler(0, special.endToken, options);
        const auto result = run.decoder->decodeText(*run.encoderOutput(), *inputs, sampler, options, {});
        ASSERT_TRUE(result.cache && result.cache->alignmentWeights);

        SegmentSeeker seeker;
        const auto [seek, segments] = seeker.findSeekPointAndSegments(result, options, 0, 480000, 480000, 16000, t,
                                                                      special.specialTokenBegin, tokenizer);
        ASSERT_TRUE(segments);
        const auto timed = seeker.addWordTimestamps(*segments, *result.cache->alignmentWeights, tokenizer, 480000, 480000,
                                                    std::string(Constants::defaultPrependPunctuations),
                                                    std::string(Constants::defaultAppendPunctuations), 30.0f, options, {});
        ASSERT_TRUE(timed);
        ASSERT_EQ(timed->size(), 1u);
        ASSERT_TRUE((*timed)[0].words);
        // The segment runs from its first word's start to its last word's end.
        EXPECT_FLOAT_EQ((*timed)[0].start, 30.4f);
        EXPECT_FLOAT_EQ((*timed)[0].end, 31.6f);
        timings.push_back(*(*timed)[0].words);
    }
    const auto& words = timings[0];
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[0].word, " Hello,");
    EXPECT_EQ(words[0].tokens, (std::vector<int64_t>{spoken[0], spoken[1]}));
    EXPECT_EQ(words[1].word, " world.");
    // A window at 30 s. The path enters a token's row at the peak of the
    // token before it: " Hello" (token 2) at frame 20, "," at 40, " world"
    // at 60, "." at 80; a merged mark keeps the times of its word.
    EXPECT_FLOAT_EQ(words[0].start, 30.4f);
    EXPECT_FLOAT_EQ(words[0].end, 30.8f);
    EXPECT_FLOAT_EQ(words[1].start, 31.2f);
    EXPECT_FLOAT_EQ(words[1].end, 31.6f);
    EXPECT_FLOAT_EQ(words[0].probability, 1.0f);
    EXPECT_EQ(timings[1], timings[0]);
}

TEST(WordTimestamps, RejectsWeightsThatAreNotAMatrixAndToleratesShortOnes) {
    const auto& tokenizer = *testing::englishTokenizer();
    SegmentSeeker seeker;
    TranscriptionSegment segment;
    segment.tokens = {18435, 11, 995, 13};
    const auto tryWith = [&](std::vector<int64_t> shape) {
        const platform::MLMultiArray weights(std::move(shape), platform::MLMultiArrayDataType::float16);
        return seeker.addWordTimestamps({segment}, weights, tokenizer, 0, 480000, "", "", 0, DecodingOptions(), {});
    };
    for (const auto& [shape, message] : std::vector<std::pair<std::vector<int64_t>, std::string>>{
             {{}, "Invalid shape in alignmentWeights"}, {{2, 3, 4}, "Invalid alignment matrix shape"}}) {
        try {
            tryWith(shape);
            ADD_FAILURE() << message;
        } catch (const WhisperError& error) {
            EXPECT_EQ(error, WhisperError::segmentingFailed(message));
        }
    }
    // Fewer rows than tokens, or no frames: no reading past the weights.
    EXPECT_TRUE(tryWith({2, 30}));
    EXPECT_TRUE(tryWith({4, 0}));
}

}  // namespace
}  // namespace sonoscribe
