#include "speech/model/TranscriptionResult.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/TestLogCapture.h"
#include "speech/model/TimingReport.h"

namespace sonoscribe {
namespace {

std::string golden(const std::string& name) {
    std::ifstream file(std::string(SONOSCRIBE_GOLDEN_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string contents = text.str();
    while (!contents.empty() && contents.back() == '\n') contents.pop_back();
    return contents;
}

std::vector<TranscriptionSegment> twoSegments() {
    TranscriptionSegment first{
        .id = 0,
        .seek = 0,
        .start = 0.0f,
        .end = 2.2f,
        .text = " Hello world.",
        .tokens = {50364, 2425, 1002, 13},
        .tokenLogProbs = {{{50364, -0.12f}}, {{2425, -0.5f}}, {{1002, -0.25f}}, {{13, -0.01f}}},
        .temperature = 0.0f,
        .avgLogprob = -0.22f,
        .compressionRatio = 0.8125f,
        .noSpeechProb = 0.1f,
        .words = std::vector<WordTiming>{{" Hello", {2425}, 0.0f, 1.0f, 0.9f},
                                         {" world.", {1002, 13}, 1.0f, 2.2f, 0.85f}},
    };
    TranscriptionSegment second{
        .id = 1,
        .seek = 35200,
        .start = 2.2f,
        .end = 4.6f,
        .text = " Caf\u00e9 \u201cna\u00efve\u201d",
        .tokens = {7489, 220},
        .tokenLogProbs = {{{7489, -1.5f}, {7490, -2.25f}}, {{220, -0.3f}}},
        .temperature = 0.2f,
        .avgLogprob = -0.9f,
        .compressionRatio = 1.0f,
        .noSpeechProb = 0.0f,
        .words = std::vector<WordTiming>{{" Caf\u00e9", {7489}, 2.2f, 3.0f, 0.6f},
                                         {" \u201cna\u00efve\u201d", {220}, 3.0f, 4.6f, 0.5f}},
    };
    return {first, second};
}

TranscriptionTimings someTimings() {
    TranscriptionTimings timings;
    timings.pipelineStart = 1000.5;
    timings.firstTokenTime = 1000.75;
    timings.inputAudioSeconds = 4.6;
    timings.modelLoading = 1.2;
    timings.logmels = 0.05;
    timings.encoding = 0.3;
    timings.decodingLoop = 0.9;
    timings.totalDecodingLoops = 6;
    timings.totalDecodingFallbacks = 1;
    timings.fullPipeline = 1.4;
    return timings;
}

void expectSameFields(const TranscriptionResult& a, const TranscriptionResult& b) {
    EXPECT_EQ(a.text(), b.text());
    EXPECT_EQ(a.segments(), b.segments());
    EXPECT_EQ(a.language(), b.language());
    EXPECT_EQ(a.timings(), b.timings());
    EXPECT_EQ(a.seekTime(), b.seekTime());
}

TEST(TranscriptionResult, GoldenFilesPinTheBytes) {
    TranscriptionResult result(" Hello world. Caf\u00e9 \u201cna\u00efve\u201d", twoSegments(), "en", someTimings(),
                               std::nullopt);
    EXPECT_EQ(encodeJSON(result), golden("transcription_result.json"));
    auto back = decodeJSON<TranscriptionResult>(golden("transcription_result.json"));
    expectSameFields(*back, result);

    TranscriptionResultStruct plain{result.text(), result.segments(), "en", someTimings(), 12.5f};
    EXPECT_EQ(encodeJSON(plain), golden("transcription_result_struct.json"));
    EXPECT_EQ(decodeJSON<TranscriptionResultStruct>(golden("transcription_result_struct.json")), plain);
}

TEST(TranscriptionResult, SeekTimeIsNullInTheResultAndAbsentInThePlainValue) {
    struct Case {
        std::optional<float> seekTime;
        const char* resultForm;
        const char* plainForm;
    };
    const Case cases[] = {
        {std::nullopt, R"("seekTime":null})", R"("timings":{)"},
        {0.2f, R"("seekTime":0.2})", R"("seekTime":0.2})"},
    };
    for (const Case& c : cases) {
        TranscriptionResult result("", {}, "de", TranscriptionTimings(), c.seekTime);
        std::string text = encodeJSON(result);
        EXPECT_NE(text.find(c.resultForm), std::string::npos) << text;
        EXPECT_EQ(decodeJSON<TranscriptionResult>(text)->seekTime(), c.seekTime);

        TranscriptionResultStruct plain{"", {}, "de", TranscriptionTimings(), c.seekTime};
        std::string plainText = encodeJSON(plain);
        EXPECT_NE(plainText.find(c.plainForm), std::string::npos) << plainText;
        EXPECT_EQ(plainText.find("null"), std::string::npos) << plainText;
        EXPECT_EQ(decodeJSON<TranscriptionResultStruct>(plainText), plain);
    }

    Json withoutSeekTime = json::parse(encodeJSON(TranscriptionResult("", {}, "en", TranscriptionTimings(), 1.0f)));
    withoutSeekTime.erase("seekTime");
    try {
        JsonCoder<TranscriptionResult>::decode(withoutSeekTime, {});
        ADD_FAILURE() << "a result needs its seekTime key";
    } catch (const DecodingError& error) {
        EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound);
    }
    EXPECT_EQ(JsonCoder<TranscriptionResultStruct>::decode(withoutSeekTime, {}).seekTime, std::nullopt);

    for (const char* key : {"text", "segments", "language", "timings"}) {
        Json missing = withoutSeekTime;
        missing.erase(key);
        EXPECT_THROW(JsonCoder<TranscriptionResultStruct>::decode(missing, {}), DecodingError) << key;
    }
}

TEST(TranscriptionResult, NonFiniteFiguresStillWriteReadableJson) {
    TranscriptionTimings timings;
    timings.fullPipeline = std::numeric_limits<double>::infinity();
    timings.decodingLoop = std::nan("");
    std::vector<TranscriptionSegment> segments = twoSegments();
    segments[0].avgLogprob = -std::numeric_limits<float>::infinity();
    TranscriptionResult result("x", segments, "en", timings, std::numeric_limits<float>::quiet_NaN());

    std::string text = encodeJSON(result);
    EXPECT_NE(text.find(R"("fullPipeline":null)"), std::string::npos);
    EXPECT_NE(text.find(R"("seekTime":null)"), std::string::npos);
    auto back = decodeJSON<TranscriptionResult>(text);
    EXPECT_TRUE(std::isnan(back->timings().fullPipeline));
    EXPECT_TRUE(std::isnan(back->timings().decodingLoop));
    EXPECT_TRUE(std::isnan(back->segments()[0].avgLogprob));
    EXPECT_EQ(back->seekTime(), std::nullopt);
}

TEST(TranscriptionResult, TimingsNeedAllThirtyThreeKeys) {
    Json timings = json::parse(encodeJSON(someTimings()));
    ASSERT_EQ(timings.size(), 33u);
    EXPECT_TRUE(timings.contains("decodingWordTimestamps"));
    EXPECT_EQ(JsonCoder<TranscriptionTimings>::decode(timings, {}), someTimings());
    for (const auto& [key, value] : timings.items()) {
        Json missing = timings;
        missing.erase(key);
        try {
            JsonCoder<TranscriptionTimings>::decode(missing, {});
            ADD_FAILURE() << key;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), DecodingError::Kind::keyNotFound) << key;
        }
    }
    timings["decodingTimestampAlignment"] = 9.0;
    timings["totalLogmelRuns"] = "3";
    EXPECT_THROW(JsonCoder<TranscriptionTimings>::decode(timings, {}), DecodingError);
}

TEST(TranscriptionResult, AllWordsSkipsSegmentsWithoutWords) {
    std::vector<TranscriptionSegment> segments = twoSegments();
    TranscriptionSegment none = segments[0];
    none.words.reset();
    TranscriptionSegment empty = segments[0];
    empty.words->clear();

    struct Case {
        std::vector<TranscriptionSegment> segments;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {{}, {}},
        {{none, empty}, {}},
        {{segments[1], none, segments[0]}, {" Caf\u00e9", " \u201cna\u00efve\u201d", " Hello", " world."}},
    };
    for (const Case& c : cases) {
        TranscriptionResult result("", c.segments, "en", TranscriptionTimings(), std::nullopt);
        std::vector<std::string> words;
        for (const WordTiming& word : result.allWords()) words.push_back(word.word);
        EXPECT_EQ(words, c.words);
    }
}

TEST(TranscriptionResult, LogsSegmentsAndTimings) {
    TranscriptionResult result("", twoSegments(), "en", someTimings(), std::nullopt);
    {
        TestLogCapture capture;
        result.logSegments();
        EXPECT_EQ(capture.messages(), (std::vector<std::string>{"[Segment 0] [0.00 --> 2.20]  Hello world.",
                                                                "[Segment 1] [2.20 --> 4.60]  Caf\u00e9 \u201cna\u00efve\u201d"}));
    }
    {
        TestLogCapture capture;
        TranscriptionResult("", {}, "en", TranscriptionTimings(), std::nullopt).logSegments();
        EXPECT_TRUE(capture.messages().empty());
    }
    {
        TestLogCapture capture(celvan::Logging::LogLevel::info);
        result.logSegments();
        result.logTimings();
        // Six tokens in the segments, whatever the decoding loop counted.
        EXPECT_EQ(capture.messages(), std::vector<std::string>{timingReport(someTimings(), 6)});
    }
}

TEST(TranscriptionResult, FieldsMayBeUsedFromSeveralThreads) {
    TranscriptionResult result("", {}, "en", TranscriptionTimings(), std::nullopt);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&result, t] {
            for (int i = 0; i < 200; ++i) {
                result.setText(std::to_string(t * 1000 + i));
                result.modifyTimings([](TranscriptionTimings& timings) { timings.encoding += 1; });
                result.setSeekTime(static_cast<float>(i));
                (void)result.text();
                (void)encodeJSON(result);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_LE(result.timings().encoding, 800.0);
    EXPECT_GE(result.timings().encoding, 200.0);
}

}  // namespace
}  // namespace sonoscribe
