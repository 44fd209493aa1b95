#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "speech/audio/EnergyVAD.h"
#include "speech/audio/VADAudioChunker.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

// Stretches of 16 kHz audio: a 300 Hz tone at amplitude 0.1 (rms 0.07, well
// above the standard threshold of 0.02) or digital silence.
struct Piece {
    double seconds;
    bool voiced;
};

std::vector<float> audioOf(const std::vector<Piece>& pieces) {
    std::vector<float> samples;
    for (const Piece& piece : pieces) {
        const auto count = static_cast<std::size_t>(std::llround(piece.seconds * 16000));
        for (std::size_t i = 0; i < count; ++i) {
            const double t = static_cast<double>(samples.size()) / 16000;
            samples.push_back(piece.voiced ? static_cast<float>(0.1 * std::sin(2 * std::numbers::pi * 300 * t)) : 0.0f);
        }
    }
    return samples;
}

std::vector<bool> flags(std::initializer_list<int> bits) {
    std::vector<bool> result;
    for (int bit : bits) result.push_back(bit != 0);
    return result;
}

TEST(EnergyVAD, JudgesEachFrameByItsEnergy) {
    const EnergyVAD standard(16000, 0.1f, 0.0f, 0.02f);
    EXPECT_EQ(standard.frameLengthSamples(), 1600);
    EXPECT_EQ(standard.frameOverlapSamples(), 0);
    EXPECT_FLOAT_EQ(standard.voiceActivityIndexToSeconds(5), 0.5f);
    EXPECT_EQ(standard.voiceActivityIndexToAudioSampleIndex(5), 8000);

    struct Case {
        const char* name;
        std::vector<float> signal;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"one second of silence", audioOf({{1.0, false}}), std::vector<bool>(10, false)},
        // The tone crosses zero at that one sample.
        {"one sample more starts a frame", audioOf({{1.0, true}, {1.0 / 16000, true}}),
         [] {
             std::vector<bool> expected(10, true);
             expected.push_back(false);
             return expected;
         }()},
        {"tone, pause, tone", audioOf({{0.3, true}, {0.3, false}, {0.1, true}}), flags({1, 1, 1, 0, 0, 0, 1})},
        {"a short last frame is judged on what it has", audioOf({{0.2, false}, {0.05, true}}), flags({0, 0, 1})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(standard.voiceActivity(c.signal), c.expected);
        EXPECT_EQ(standard.voiceActivityAsync(c.signal), c.expected);
    }
    // At exactly the threshold (0.5 is exact in binary) the frame is silent.
    EXPECT_EQ(EnergyVAD(16000, int64_t{4}, int64_t{0}, 0.5f).voiceActivity(std::vector<float>(4, 0.5f)), flags({0}));

    // Overlap samples past a frame's end count towards that frame.
    const std::vector<float> lateSound{0, 0, 0, 0, 0, 1, 0, 0};
    EXPECT_EQ(EnergyVAD(16000, int64_t{4}, int64_t{0}, 0.1f).voiceActivity(lateSound), flags({0, 1}));
    EXPECT_EQ(EnergyVAD(16000, int64_t{4}, int64_t{2}, 0.1f).voiceActivity(lateSound), flags({1, 1}));

    EXPECT_THROW(EnergyVAD(16000, 0.0f, 0.0f, 0.02f), WhisperError);
    EXPECT_THROW(EnergyVAD(16000, 1e30f, 0.0f, 0.02f), WhisperError);
    EXPECT_THROW(EnergyVAD(16000, std::nanf(""), 0.0f, 0.02f), WhisperError);
}

TEST(EnergyVAD, FindsVoicedRangesAndTheLongestSilence) {
    const EnergyVAD vad(16000, 0.1f, 0.0f, 0.02f);
    // Voiced frames 0, 1 and 3 of five.
    const std::vector<float> signal = audioOf({{0.2, true}, {0.1, false}, {0.1, true}, {0.1, false}});
    EXPECT_EQ(vad.calculateActiveChunks(signal), (std::vector<IndexRange>{{0, 3200}, {4800, 6400}}));
    EXPECT_EQ(vad.calculateActiveChunks(audioOf({{0.25, true}})), (std::vector<IndexRange>{{0, 4000}}));
    EXPECT_TRUE(vad.calculateActiveChunks(audioOf({{1.0, false}})).empty());

    struct Case {
        std::vector<bool> flags;
        std::optional<IndexRange> expected;
    };
    const Case cases[] = {
        {flags({1, 0, 0, 1, 0, 0, 1}), IndexRange{1, 3}},
        {flags({0, 1, 0, 0, 0, 1, 0, 0}), IndexRange{2, 5}},
        {flags({1, 0, 1, 0, 0}), IndexRange{3, 5}},
        {flags({1, 1, 1}), std::nullopt},
        {flags({0, 0, 0, 0}), IndexRange{0, 4}},
        {{}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(vad.findLongestSilence(c.flags), c.expected);
}

struct ChunkCase {
    const char* name;
    std::vector<Piece> audio;
    std::vector<float> clipTimestamps;
    int64_t maxChunkLength;
    // (seekOffsetIndex, end) of every chunk, in order.
    std::vector<std::pair<int64_t, int64_t>> expected;
};

// Chunks stay within the window, cut in the middle of the longest silence
// of each window's second half, and hand every sample of a clip over once;
// only a silent rest shorter than the padding after a cut is left out.
TEST(VADAudioChunker, CutsLongAudioInsideSilences) {
    const ChunkCase cases[] = {
        {"pauses at 20, 40 and 62 s",
         {{20, true}, {1, false}, {19, true}, {1, false}, {21, true}, {1, false}, {13, true}},
         {},
         480000,
         {{0, 328000}, {328000, 648000}, {648000, 1000000}, {1000000, 1216000}}},
        {"no pause: cut at the window's end",
         {{65, true}},
         {},
         480000,
         {{0, 480000}, {480000, 960000}, {960000, 1040000}}},
        {"the middle of frames 10 to 14 of the second half",
         {{16, true}, {0.4, false}, {23.6, true}},
         {},
         480000,
         {{0, 259200}, {259200, 640000}}},
        {"exactly one window", {{30, true}}, {}, 480000, {{0, 480000}}},
        {"shorter than the padding", {{0.5, true}}, {}, 480000, {{0, 8000}}},
        {"two clips, the second shorter than the padding",
         {{30, true}},
         {0, 10, 20, 20.5},
         480000,
         {{0, 160000}, {320000, 328000}}},
        {"a clip past the end of the audio", {{2, true}}, {1, 5}, 480000, {{16000, 32000}}},
        {"a rest with voice after a cut is kept",
         {{29, true}, {0.9, false}, {0.4, true}},
         {},
         480000,
         {{0, 470400}, {470400, 484800}}},
        {"a silent rest shorter than the padding is left out",
         {{29, true}, {1.3, false}},
         {},
         480000,
         {{0, 472000}}},
        {"small windows", {{3, true}, {0.5, false}, {3, true}}, {}, 64000, {{0, 51200}, {51200, 104000}}},
    };
    const VADAudioChunker chunker(16000, nullptr);
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> audio = audioOf(c.audio);
        DecodingOptions::Parameters parameters;
        parameters.clipTimestamps = c.clipTimestamps;
        const std::vector<AudioChunk> chunks = chunker.chunkAll(audio, c.maxChunkLength, DecodingOptions(parameters));
        std::vector<std::pair<int64_t, int64_t>> bounds;
        for (const AudioChunk& chunk : chunks) {
            const int64_t end = chunk.seekOffsetIndex + static_cast<int64_t>(chunk.audioSamples.size());
            bounds.emplace_back(chunk.seekOffsetIndex, end);
            EXPECT_LE(end - chunk.seekOffsetIndex, c.maxChunkLength);
            ASSERT_LE(end, static_cast<int64_t>(audio.size()));
            EXPECT_TRUE(std::equal(chunk.audioSamples.begin(), chunk.audioSamples.end(), audio.begin() + chunk.seekOffsetIndex));
        }
        EXPECT_EQ(bounds, c.expected);
    }
}

TEST(VADAudioChunker, HandlesDegenerateInput) {
    const VADAudioChunker chunker(16000, nullptr);
    EXPECT_EQ(chunker.vad()->frameLengthSamples(), 1600);
    EXPECT_TRUE(chunker.chunkAll({}, 480000, std::nullopt).empty());
    DecodingOptions::Parameters parameters;
    parameters.clipTimestamps = {-1, 1};
    EXPECT_THROW(chunker.chunkAll(audioOf({{2, true}}), 480000, DecodingOptions(parameters)), WhisperError);
}

}  // namespace
}  // namespace sonoscribe
