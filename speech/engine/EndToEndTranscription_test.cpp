#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/support/EngineTestSupport.h"
#include "speech/engine/ResultWriter.h"
#include "speech/engine/Sonoscribe.h"

namespace sonoscribe {
namespace {

namespace fs = std::filesystem;
using testing::helloWorldTokens;
using testing::scriptedWindow;

constexpr float speechSeconds = 5.0f;
constexpr float blockSeconds = 10.0f;

void run(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// 65 s of 16 kHz speech from espeak-ng: six blocks of 5 s of speech and 5 s
// of silence, then 5 s of silence.
fs::path writeSpeechFile(const fs::path& folder) {
    const fs::path spoken = folder / "spoken.wav";
    run("espeak-ng -w '" + spoken.string() +
        "' 'The quick brown fox jumps over the lazy dog while dictation keeps every word that was spoken.'");
    const fs::path block = folder / "block.wav";
    run("sox '" + spoken.string() + "' -r 16000 -c 1 -b 16 '" + block.string() + "' trim 0 " +
        std::to_string(speechSeconds) + " pad 0 " + std::to_string(blockSeconds - speechSeconds) + " 2>/dev/null");
    const fs::path tail = folder / "tail.wav";
    run("sox -n -r 16000 -c 1 -b 16 '" + tail.string() + "' trim 0 5");
    const fs::path speech = folder / "speech.wav";
    std::string command = "sox";
    for (int i = 0; i < 6; ++i) command += " '" + block.string() + "'";
    run(command + " '" + tail.string() + "' '" + speech.string() + "'");
    return speech;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

class EndToEndTranscription : public ::testing::Test {
protected:
    void SetUp() override {
        modelFolder_ = testsupport::writeScriptedModelFolder(folder_.path() / "openai_whisper-base.en",
                                                             scriptedWindow(helloWorldTokens()));
        speech_ = writeSpeechFile(folder_.path());
        SonoscribeConfig config;
        config.modelFolder = modelFolder_.string();
        config.download = false;
        engine_ = Sonoscribe::create(config);
    }

    testsupport::TempDirectory folder_;
    fs::path modelFolder_;
    fs::path speech_;
    std::shared_ptr<Sonoscribe> engine_;
};

TEST_F(EndToEndTranscription, SpeechFileGivesTheScriptedTextWindowByWindowAndWritesFiles) {
    // Subtitles carry the segments' texts as they are, so the special tokens go.
    DecodingOptions::Parameters parameters;
    parameters.skipSpecialTokens = true;
    const TranscriptionResults results = engine_->transcribe(speech_.string(), DecodingOptions(parameters));
    ASSERT_EQ(results.size(), 1u);
    const auto& result = *results.front();
    EXPECT_EQ(result.text(), "Hello world. Hello world. Hello world.");
    EXPECT_EQ(result.timings().totalDecodingWindows, 3);
    EXPECT_NEAR(result.timings().inputAudioSeconds, 65.0, 0.05);
    const auto segments = result.segments();
    ASSERT_EQ(segments.size(), 3u);
    for (std::size_t i = 0; i < segments.size(); ++i) {
        EXPECT_LT(segments[i].start, segments[i].end);
    }
    for (std::size_t i = 1; i < segments.size(); ++i) EXPECT_GE(segments[i].start, segments[i - 1].end);
    EXPECT_FLOAT_EQ(segments[2].start, 60.0f);

    const std::string outputs = folder_.path().string();
    ASSERT_TRUE(WriteSRT(outputs).write(result, "speech").isSuccess());
    ASSERT_TRUE(WriteVTT(outputs).write(result, "speech").isSuccess());
    ASSERT_TRUE(WriteJSON(outputs).write(result, "speech").isSuccess());
    EXPECT_EQ(readText(folder_.path() / "speech.srt").rfind("1\n00:00:00,000 --> 00:00:02,000\n Hello world.\n\n2\n", 0),
              0u);
    EXPECT_NE(readText(folder_.path() / "speech.srt").find("3\n00:01:00,000 --> 00:01:02,000\n"), std::string::npos);
    EXPECT_EQ(readText(folder_.path() / "speech.vtt").rfind("WEBVTT\n\n00:00.000 --> 00:02.000\n Hello world.\n\n", 0),
              0u);
    const auto back = decodeJSON<TranscriptionResult>(readText(folder_.path() / "speech.json"));
    EXPECT_EQ(back->segments(), segments);
}

TEST_F(EndToEndTranscription, VoiceActivityChunkingCutsInTheSilence) {
    DecodingOptions options;
    options.chunkingStrategy = ChunkingStrategy::vad;
    const TranscriptionResults results = engine_->transcribe(speech_.string(), options);
    ASSERT_GE(results.size(), 3u);
    for (std::size_t i = 1; i < results.size(); ++i) {
        ASSERT_TRUE(results[i]->seekTime());
        const float offset = *results[i]->seekTime();
        const float intoBlock = std::fmod(offset, blockSeconds);
        EXPECT_GT(intoBlock, speechSeconds) << "chunk " << i << " starts at " << offset << " s, inside speech";
        EXPECT_LE(offset - *results[i - 1]->seekTime(), 30.0f);
        const auto segments = results[i]->segments();
        ASSERT_FALSE(segments.empty());
        EXPECT_FLOAT_EQ(segments.front().start, offset);
    }
}

}  // namespace
}  // namespace sonoscribe
