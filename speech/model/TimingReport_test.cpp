#include "speech/model/TimingReport.h"

#include <cmath>
#include <sstream>

#include <gtest/gtest.h>

namespace sonoscribe {
namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

TEST(TimingReport, LaysOutEveryFigureLineByLine) {
    TranscriptionTimings t;
    t.pipelineStart = 100;
    t.firstTokenTime = 100.25;
    t.inputAudioSeconds = 60;
    t.modelLoading = 1.5;
    t.prewarmLoadTime = 0.7;
    t.encoderLoadTime = 0.3;
    t.decoderLoadTime = 0.4;
    t.tokenizerLoadTime = 0.1;
    t.audioLoading = 0.5;
    t.audioProcessing = 0.25;
    t.logmels = 0.1;
    t.encoding = 1.0;
    t.decodingInit = 0.01;
    t.decodingLoop = 3.0;
    t.decodingPredictions = 2.0;
    t.decodingFiltering = 0.2;
    t.decodingSampling = 0.1;
    t.decodingFallback = 0.6;
    t.decodingWindowing = 0.4;
    t.decodingKvCaching = 0.06;
    t.decodingWordTimestamps = 0.3;
    t.decodingNonPrediction = 0.5;
    t.totalAudioProcessingRuns = 10;
    t.totalLogmelRuns = 10;
    t.totalEncodingRuns = 10;
    t.totalDecodingLoops = 400;
    t.totalKVUpdateRuns = 400;
    t.totalTimestampAlignmentRuns = 10;
    t.totalDecodingFallbacks = 2;
    t.totalDecodingWindows = 10;
    t.fullPipeline = 5.0;

    std::string report = timingReport(t, 42);
    EXPECT_NE(report.back(), '\n');
    const std::vector<std::string> expected = {
        "---- Transcription Timings ----",
        "Audio Load:            500.00 ms /      1 runs (  500.00 ms/run) 10.00%",
        "Audio Processing:      250.00 ms /     10 runs (   25.00 ms/run)  5.00%",
        "Mels:                  100.00 ms /     10 runs (   10.00 ms/run)  2.00%",
        "Encoding:             1000.00 ms /     10 runs (  100.00 ms/run) 20.00%",
        "Matrices Init:          10.00 ms /      1 runs (   10.00 ms/run)  0.20%",
        "Decoding:             2000.00 ms /    400 runs (    5.00 ms/run) 40.00%",
        "Non-inference:         500.00 ms /    400 runs (    1.25 ms/run) 10.00%",
        "- Logit Filtering:     200.00 ms /    400 runs (    0.50 ms/run)  4.00%",
        "- Sampling:            100.00 ms /    400 runs (    0.25 ms/run)  2.00%",
        "- Kv Caching:           60.00 ms /    400 runs (    0.15 ms/run)  1.20%",
        "- Word Timestamps:     300.00 ms /     10 runs (   30.00 ms/run)  6.00%",
        "- Windowing:           100.00 ms /     10 runs (   10.00 ms/run)  2.00%",
        "Fallbacks:             600.00 ms /      2 runs (  300.00 ms/run) 12.00%",
        "Decoding Full Loop:   3000.00 ms /    400 runs (    7.50 ms/run) 60.00%",
        "-------------------------------",
        "Model Load Time:               1.50 seconds",
        "- Prewarm:                     0.70 seconds",
        "- Encoder:                     0.30 seconds",
        "- Decoder:                     0.40 seconds",
        "- Tokenizer:                   0.10 seconds",
        "Inference Duration (Global):   5.00 seconds",
        "- Decoding Loop (Avg/window):  0.30 seconds",
        "- Audio Windows:               10.00",
        "Time to first token:           0.25 seconds",
        "Total Tokens:                  42",
        "Tokens per Second:             80.00 tok/s",
        "Real Time Factor:              0.083",
        "Speed Factor:                  12.000",
        "Fallbacks:                     2.0",
    };
    std::vector<std::string> actual = lines(report);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(actual[i], expected[i]) << "line " << i + 1;
}

TEST(TimingReport, EdgeRecordsFollowIeeeDivision) {
    std::vector<std::string> fresh = lines(timingReport(TranscriptionTimings(), 0));
    ASSERT_EQ(fresh.size(), 30u);
    EXPECT_EQ(fresh[1], "Audio Load:              0.00 ms /      1 runs (    0.00 ms/run)   nan%");
    EXPECT_EQ(fresh[24], "Time to first token:           0.00 seconds");
    EXPECT_EQ(fresh[26], "Tokens per Second:             nan tok/s");
    EXPECT_EQ(fresh[27], "Real Time Factor:              0.000");
    EXPECT_EQ(fresh[28], "Speed Factor:                  inf");
    EXPECT_EQ(fresh[29], "Fallbacks:                     0.0");

    TranscriptionTimings fresh0;
    EXPECT_EQ(fresh0.realTimeFactor(), 0.0);
    EXPECT_TRUE(std::isinf(fresh0.speedFactor()));
    EXPECT_TRUE(std::isnan(fresh0.tokensPerSecond()));

    // A decoding loop longer than the whole pipeline becomes the base of every share.
    TranscriptionTimings longLoop;
    longLoop.fullPipeline = 1.0;
    longLoop.decodingLoop = 2.0;
    longLoop.encoding = 0.5;
    longLoop.totalEncodingRuns = 0;
    std::vector<std::string> report = lines(timingReport(longLoop, 7));
    EXPECT_EQ(report[4], "Encoding:              500.00 ms /      0 runs (    0.00 ms/run) 25.00%");
    EXPECT_EQ(report[25], "Total Tokens:                  7");
}

}  // namespace
}  // namespace sonoscribe
