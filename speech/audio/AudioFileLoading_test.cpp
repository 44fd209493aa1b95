#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/audio/AudioFileError.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"
#include "tests/support/AudioLoadProbeRun.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/TestLogCapture.h"
#include "tests/support/ToneFiles.h"

namespace sonoscribe {
namespace {

using ChannelMode = AudioInputConfig::ChannelMode;
using testsupport::Tone;
using testsupport::toneAmplitude;

std::vector<float> samplesOf(platform::audio::AVAudioPCMBuffer& buffer) {
    EXPECT_EQ(buffer.format().sampleRate, 16000);
    EXPECT_EQ(buffer.format().channelCount, 1u);
    return AudioProcessor::convertBufferToArray(buffer, 1024);
}

std::vector<float> slice(const std::vector<float>& samples, std::size_t from, std::size_t to) {
    return {samples.begin() + static_cast<std::ptrdiff_t>(from), samples.begin() + static_cast<std::ptrdiff_t>(to)};
}

class AudioFileLoading : public ::testing::Test {
protected:
    std::filesystem::path write(const std::string& name, const std::vector<Tone>& tones, int rate, double seconds,
                                const std::string& options) {
        const std::filesystem::path path = folder_.path() / name;
        EXPECT_EQ(testsupport::writeToneFile(path, tones, rate, seconds, options), 0) << name;
        return path;
    }

    testsupport::TempDirectory folder_;
};

struct FormatCase {
    const char* name;
    const char* options;
    int rate;
    int channels;
    // Samples at 16 kHz that the codec may add or take at the ends.
    int padding;
};

// Every container and codec a user is likely to hand over, at the common
// rates and channel counts: each comes back as 16 kHz mono of the file's
// length, with its 440 Hz tone at full strength.
TEST_F(AudioFileLoading, EveryFormatLoadsAsSixteenKilohertzMonoWithItsTone) {
    const FormatCase cases[] = {
        {"s16-16k-mono.wav", "-c:a pcm_s16le", 16000, 1, 0},
        {"s16-8k-mono.wav", "-c:a pcm_s16le", 8000, 1, 2},
        {"s16-44k-stereo.wav", "-c:a pcm_s16le", 44100, 2, 2},
        {"f32-48k-6ch.wav", "-c:a pcm_f32le", 48000, 6, 2},
        {"44k-stereo.flac", "-c:a flac", 44100, 2, 2},
        {"8k-6ch.flac", "-c:a flac", 8000, 6, 2},
        {"44k-stereo.mp3", "-c:a libmp3lame", 44100, 2, 1200},
        {"8k-mono.mp3", "-c:a libmp3lame", 8000, 1, 2400},
        {"48k-stereo.opus", "-c:a libopus", 48000, 2, 400},
        {"16k-mono.ogg", "-c:a libopus", 16000, 1, 400},
        {"48k-6ch.opus", "-c:a libopus -mapping_family 1", 48000, 6, 400},
        {"44k-stereo.m4a", "-c:a aac", 44100, 2, 1200},
        {"48k-mono.m4a", "-c:a aac", 48000, 1, 1200},
        {"8k-mono.m4a", "-c:a aac", 8000, 1, 2400},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = write(c.name, std::vector<Tone>(c.channels, Tone{440, 0.5}), c.rate, 2.0, c.options);
        std::shared_ptr<platform::audio::AVAudioPCMBuffer> buffer;
        ASSERT_NO_THROW(buffer = AudioProcessor::loadAudio(path.string(), ChannelMode::sumChannels(std::nullopt)));
        const std::vector<float> samples = samplesOf(*buffer);
        EXPECT_NEAR(static_cast<double>(samples.size()), 32000, c.padding);
        ASSERT_GE(samples.size(), 24000u);
        const std::vector<float> middle = slice(samples, 8000, 24000);
        EXPECT_NEAR(toneAmplitude(middle, 440, 16000), 0.5, 0.03);
        EXPECT_LT(toneAmplitude(middle, 1000, 16000), 0.01);

        std::vector<float> array;
        ASSERT_NO_THROW(array = AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(std::nullopt)));
        ASSERT_EQ(array.size(), samples.size());
        for (std::size_t i = 0; i < array.size(); i += 97) ASSERT_NEAR(array[i], samples[i], 1e-6) << i;
    }
}

// A window of the file and block-wise reads give the very samples of one
// whole read: the resampler carries its state from block to block.
TEST_F(AudioFileLoading, WindowsAndReadBlocksJoinWithoutGapsOrRepeats) {
    struct Case {
        const char* name;
        const char* options;
        int rate;
    };
    const Case cases[] = {
        {"16k.wav", "-c:a pcm_s16le", 16000},
        {"44k.wav", "-c:a pcm_s16le -ac 2", 44100},
        {"48k.flac", "-c:a flac", 48000},
        {"44k.mp3", "-c:a libmp3lame", 44100},
        {"48k.opus", "-c:a libopus", 48000},
    };
    const std::vector<Tone> tones{{440, 0.5}, {440, 0.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = write(c.name, tones, c.rate, 3.0, c.options);
        const ChannelMode mode = ChannelMode::sumChannels(std::nullopt);
        const std::vector<float> whole = samplesOf(*AudioProcessor::loadAudio(path.string(), mode));
        ASSERT_EQ(whole.size(), 48000u);

        for (const uint32_t block : {1000u, 4410u, 16000u}) {
            SCOPED_TRACE(block);
            const std::vector<float> blocked =
                samplesOf(*AudioProcessor::loadAudio(path.string(), mode, std::nullopt, std::nullopt, block));
            ASSERT_EQ(blocked.size(), whole.size());
            for (std::size_t i = 0; i < whole.size(); ++i) ASSERT_NEAR(blocked[i], whole[i], 1e-5) << i;
        }

        const std::vector<float> window = samplesOf(*AudioProcessor::loadAudio(path.string(), mode, 1.0, 2.0, 3000u));
        ASSERT_EQ(window.size(), 16000u);
        // A resampled window starts its resampler afresh; a few samples at
        // its ends see no neighbours.
        const std::size_t edge = c.rate == 16000 ? 0 : 64;
        for (std::size_t i = edge; i < window.size() - edge; ++i) ASSERT_NEAR(window[i], whole[16000 + i], 2e-3) << i;

        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string(), mode, 2.5, 10.0).size(), 8000u);
    }
}

// Files longer than one loading segment come back whole and seamless.
TEST_F(AudioFileLoading, LongFilesJoinTheirSegments) {
    const std::filesystem::path path = write("long.wav", {{440, 0.5}}, 8000, 601.0, "-c:a pcm_s16le");
    const ChannelMode mode = ChannelMode::sumChannels(std::nullopt);
    const std::vector<float> array = AudioProcessor::loadAudioAsFloatArray(path.string(), mode);
    ASSERT_EQ(array.size(), 601u * 16000);
    const std::vector<float> whole = samplesOf(*AudioProcessor::loadAudio(path.string(), mode));
    ASSERT_EQ(whole.size(), array.size());
    for (std::size_t i = 0; i < array.size(); ++i) ASSERT_NEAR(array[i], whole[i], 1e-5) << i;
}

TEST_F(AudioFileLoading, ChannelModesPickOrSumChannels) {
    // Channel 0 holds 440 Hz at 0.5, channel 1 holds 1000 Hz at 0.25.
    const std::filesystem::path path = write("two.wav", {{440, 0.5}, {1000, 0.25}}, 16000, 1.0, "-c:a pcm_f32le");
    struct Case {
        const char* name;
        ChannelMode mode;
        double at440;
        double at1000;
    };
    // A sum is scaled back to its loudest channel's peak; the two sines
    // peak together at 0.75 in this file (within a sample), so the sum keeps
    // two thirds of each.
    const Case cases[] = {
        {"channel 0", ChannelMode::specificChannel(0), 0.5, 0},
        {"channel 1", ChannelMode::specificChannel(1), 0, 0.25},
        {"channel out of range", ChannelMode::specificChannel(3), 0.5, 0},
        {"all channels", ChannelMode::sumChannels(std::nullopt), 0.5 / 0.75 * 0.5, 0.5 / 0.75 * 0.25},
        {"empty list", ChannelMode::sumChannels(std::vector<int64_t>{}), 0.5 / 0.75 * 0.5, 0.5 / 0.75 * 0.25},
        {"one listed", ChannelMode::sumChannels(std::vector<int64_t>{1}), 0, 0.25},
        {"listed twice", ChannelMode::sumChannels(std::vector<int64_t>{1, 1}), 0, 0.25},
        {"invalid ones ignored", ChannelMode::sumChannels(std::vector<int64_t>{-1, 1, 7}), 0, 0.25},
        {"none valid", ChannelMode::sumChannels(std::vector<int64_t>{5}), 0.5, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<float> samples = samplesOf(*AudioProcessor::loadAudio(path.string(), c.mode));
        ASSERT_EQ(samples.size(), 16000u);
        EXPECT_NEAR(toneAmplitude(samples, 440, 16000), c.at440, 0.01);
        EXPECT_NEAR(toneAmplitude(samples, 1000, 16000), c.at1000, 0.01);
    }
}

// What a user may drop in by mistake fails with an error that says so, and
// a file cut short loads the audio it still holds.
TEST_F(AudioFileLoading, BrokenFilesFailCleanlyOrLoadWhatTheyHold) {
    const std::filesystem::path missing = folder_.path() / "missing.wav";
    try {
        AudioProcessor::loadAudio(missing.string(), ChannelMode::sumChannels(std::nullopt));
        ADD_FAILURE() << "a missing file loaded";
    } catch (const WhisperError& error) {
        EXPECT_EQ(error.kind(), WhisperError::Kind::loadAudioFailed);
        EXPECT_EQ(error.message(), "Resource path does not exist " + missing.string());
    }
    EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(missing.string(), ChannelMode::sumChannels(std::nullopt)),
                 WhisperError);
    // Loading several files, one bad file spoils only its own result.
    const std::filesystem::path one = write("one.wav", {{440, 0.5}}, 16000, 1.0, "-c:a pcm_s16le");
    const std::filesystem::path two = write("two.flac", {{440, 0.5}}, 44100, 2.0, "-c:a flac");
    const auto results =
        AudioProcessor::loadAudio({one.string(), missing.string(), two.string()}, ChannelMode::sumChannels(std::nullopt));
    ASSERT_EQ(results.size(), 3u);
    ASSERT_TRUE(results[0].isSuccess());
    EXPECT_EQ(results[0].get().size(), 16000u);
    EXPECT_FALSE(results[1].isSuccess());
    ASSERT_TRUE(results[2].isSuccess());
    EXPECT_EQ(results[2].get().size(), 32000u);

    const std::filesystem::path empty = folder_.path() / "empty.wav";
    std::ofstream(empty).close();
    const std::filesystem::path text = folder_.path() / "notes.mp3";
    std::ofstream(text) << std::string(5000, 'x') << "these are not sound samples\n";
    for (const auto& path : {empty, text}) {
        SCOPED_TRACE(path.filename().string());
        EXPECT_THROW(AudioProcessor::loadAudio(path.string(), ChannelMode::sumChannels(std::nullopt)),
                     platform::audio::AudioFileError);
        EXPECT_THROW(AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(std::nullopt)),
                     platform::audio::AudioFileError);
    }

    struct Cut {
        const char* name;
        const char* options;
        int rate;
    };
    const Cut cuts[] = {
        {"cut.wav", "-c:a pcm_s16le", 16000},
        {"cut-44k.wav", "-c:a pcm_s16le", 44100},
        {"cut.mp3", "-c:a libmp3lame", 44100},
        {"cut.flac", "-c:a flac", 48000},
        {"cut.m4a", "-c:a aac -movflags +faststart", 44100},
        {"cut.opus", "-c:a libopus", 48000},
    };
    for (const Cut& c : cuts) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path path = write(c.name, {{440, 0.5}}, c.rate, 4.0, c.options);
        std::filesystem::resize_file(path, std::filesystem::file_size(path) / 2);
        std::vector<float> samples;
        ASSERT_NO_THROW(samples = AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(std::nullopt)));
        // Roughly the first half survives, with its tone.
        EXPECT_GT(samples.size(), 16000u * 3 / 2);
        EXPECT_LT(samples.size(), 16000u * 5 / 2);
        ASSERT_GE(samples.size(), 24000u);
        EXPECT_NEAR(toneAmplitude(slice(samples, 8000, 24000), 440, 16000), 0.5, 0.03);
    }
}

// Lossless silence packs far more audio into a byte than any header is
// trusted for up front: such a file still loads whole, read straight or
// resampled.
TEST_F(AudioFileLoading, SilenceThatPacksTightLoadsWhole) {
    for (const int rate : {16000, 44100}) {
        SCOPED_TRACE(rate);
        const std::filesystem::path path =
            write("silence-" + std::to_string(rate) + ".flac", {{440, 0.0}}, rate, 120.0, "-c:a flac");
        ASSERT_LT(std::filesystem::file_size(path), 120u * 500 / 2);
        const ChannelMode mode = ChannelMode::sumChannels(std::nullopt);
        EXPECT_EQ(samplesOf(*AudioProcessor::loadAudio(path.string(), mode)).size(), 120u * 16000);
        EXPECT_EQ(AudioProcessor::loadAudioAsFloatArray(path.string(), mode).size(), 120u * 16000);
    }
}

// One second of 440 Hz each, whose headers claim far more than the file
// holds: a FLAC stream length of 1.15 billion samples, a WAV whose data chunk
// claims 4 GB and whose fact chunk 2.1 billion frames, an MP3 whose Xing
// header counts a million frames. Each loads, in a process of its own under
// a 1 GB address-space limit, to what it really holds or to a load error
// that names it; never to a failed allocation sized from the claim.
TEST(HostileAudioFiles, LoadWhatTheyHoldWithinAGigabyteOfAddressSpace) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit";
#endif
    for (const char* name : {"forged-length.flac", "forged-data-size.wav", "forged-frame-count.mp3"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string(FORGED_AUDIO_DIR) + "/" + name;
        const testsupport::ProbeRun run = testsupport::runAudioLoadProbe(AUDIO_LOAD_PROBE, path, 1ull << 30);
        ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.status << " " << run.output;
        std::istringstream lines(run.output);
        int loaders = 0;
        for (std::string line; std::getline(lines, line); ++loaders) {
            SCOPED_TRACE(line);
            const std::size_t space = line.find(' ');
            const std::string outcome = line.substr(space + 1);
            if (outcome.rfind("failed: ", 0) == 0) {
                EXPECT_NE(outcome.find(path), std::string::npos);
            } else {
                ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(outcome.front())));
                EXPECT_NEAR(std::stod(outcome), 16000, 2400);
            }
        }
        EXPECT_EQ(loaders, 2);
    }
}

// The codec library's own remarks about an ordinary file go to the log at
// debug level, never to the terminal.
TEST_F(AudioFileLoading, CodecMessagesGoToTheLogNotTheTerminal) {
    const std::filesystem::path path = write("plain.mp3", {{440, 0.5}}, 44100, 1.0, "-c:a libmp3lame");
    const TestLogCapture log;
    ::testing::internal::CaptureStderr();
    AudioProcessor::loadAudioAsFloatArray(path.string(), ChannelMode::sumChannels(std::nullopt));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const std::vector<std::string> messages = log.messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& message) {
        return message.find("] Could not update timestamps for skipped samples.") != std::string::npos;
    }));
}

}  // namespace
}  // namespace sonoscribe
