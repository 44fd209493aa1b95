#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "speech/audio/AudioProcessor.h"

namespace sonoscribe {
namespace {

std::vector<float> constant(float value, std::size_t count = 1600) { return std::vector<float>(count, value); }

// Each buffer's energy is measured against the quietest of the 20 records
// before it, whatever the relative-energy window says.
TEST(AudioEnergy, EachBufferGetsItsEnergyRelativeToTheRecentFloor) {
    struct Case {
        const char* name;
        std::vector<std::vector<float>> buffers;
        int64_t window;
        float lastRel;
    };
    std::vector<std::vector<float>> tenLoud(10, constant(0.1f));
    std::vector<std::vector<float>> twentyLoud(20, constant(0.1f));
    auto after = [](std::vector<std::vector<float>> head, const std::vector<std::vector<float>>& middle,
                    std::vector<float> last) {
        head.insert(head.end(), middle.begin(), middle.end());
        head.push_back(std::move(last));
        return head;
    };
    const Case cases[] = {
        {"the first buffer is 0 however loud", {constant(1.0f)}, 20, 0},
        {"quieter than the floor", {constant(0.1f), constant(0.001f)}, 20, 0},
        {"a third of the way from the floor to full scale", {constant(0.1f), constant(0.001f), constant(0.01f)}, 20, 1.0f / 3},
        {"full scale", {constant(0.001f), constant(1.0f)}, 20, 1},
        {"louder than full scale", {constant(0.001f), constant(2.0f)}, 20, 1},
        {"silence", {constant(0.1f), constant(0.0f)}, 20, 0},
        {"the floor looks back 20 records", after({constant(0.001f)}, tenLoud, constant(0.01f)), 20, 1.0f / 3},
        {"a smaller window does not shorten it", after({constant(0.001f)}, tenLoud, constant(0.01f)), 5, 1.0f / 3},
        {"nor lengthen it past 20", after({constant(0.001f)}, twentyLoud, constant(0.01f)), 40, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AudioProcessor processor;
        processor.setRelativeEnergyWindow(c.window);
        std::vector<std::vector<float>> delivered;
        processor.setAudioBufferCallback([&](const std::vector<float>& buffer) { delivered.push_back(buffer); });
        std::size_t samples = 0;
        for (const auto& buffer : c.buffers) {
            processor.processBuffer(buffer);
            samples += buffer.size();
        }
        processor.processBuffer({});
        EXPECT_EQ(delivered, c.buffers);
        EXPECT_EQ(processor.audioSamples().size(), samples);
        ASSERT_EQ(processor.relativeEnergy().size(), c.buffers.size());
        EXPECT_NEAR(processor.relativeEnergy().back(), c.lastRel, 1e-5);
    }

    AudioProcessor processor;
    processor.processBuffer({0.5f, -0.25f});
    const AudioEnergy record = processor.audioEnergy().front();
    EXPECT_NEAR(record.avg, 0.39528f, 1e-5);
    EXPECT_EQ(record.max, 0.5f);
    EXPECT_EQ(record.min, 0.25f);
}

TEST(AudioEnergy, PurgingKeepsTheNewestSamples) {
    struct Case {
        int64_t keepingLast;
        std::vector<float> expected;
    };
    const Case cases[] = {{0, {}}, {2, {4, 5}}, {5, {1, 2, 3, 4, 5}}, {9, {1, 2, 3, 4, 5}}};
    for (const Case& c : cases) {
        AudioProcessor processor;
        processor.processBuffer({1, 2, 3});
        processor.processBuffer({4, 5});
        processor.purgeAudioSamples(c.keepingLast);
        EXPECT_EQ(processor.audioSamples(), c.expected) << c.keepingLast;
        EXPECT_EQ(processor.audioEnergy().size(), 2u);
    }
}

// What a reader takes of a long recording, a stretch of samples or the
// newest energies, is what the whole copies hold there, also across the
// store's chunks.
TEST(AudioEnergy, PartsOfALongRecordingMatchItsWholeCopies) {
    AudioProcessor processor;
    std::vector<float> buffer(1365);
    for (int b = 0; b < 4200; ++b) {
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<float>((b * 7 + static_cast<int>(i)) % 101) / 100;
        processor.processBuffer(buffer);
    }
    const std::vector<float> samples = processor.audioSamples();
    const std::vector<float> energy = processor.relativeEnergy();
    ASSERT_EQ(processor.audioSampleCount(), static_cast<int64_t>(samples.size()));
    const std::pair<int64_t, int64_t> ranges[] = {{0, 10}, {479990, 480010}, {1000, 961000}, {5732990, 6000000}, {-5, 3}, {7, 2}};
    for (const auto& [from, to] : ranges) {
        const auto end = std::clamp<int64_t>(to, 0, static_cast<int64_t>(samples.size()));
        const auto first = std::clamp<int64_t>(from, 0, end);
        EXPECT_EQ(processor.audioSampleRange(from, to), std::vector<float>(samples.begin() + first, samples.begin() + end))
            << from << " ..< " << to;
    }
    for (const int64_t count : {0, 1, 11, 4097, 5000}) {
        const auto n = std::min<int64_t>(count, static_cast<int64_t>(energy.size()));
        EXPECT_EQ(processor.latestRelativeEnergy(count), std::vector<float>(energy.end() - n, energy.end())) << count;
    }
}

// Energies are 0.1 s each; of the last n, only the older ones are looked at.
TEST(AudioEnergy, VoiceIsDetectedInTheOlderPartOfTheRecentEnergies) {
    struct Case {
        const char* name;
        std::size_t count;
        std::optional<std::size_t> loud;
        float nextBufferInSeconds;
        bool expected;
    };
    const Case cases[] = {
        {"first looked at", 35, 5, 3.0f, true},
        {"last looked at", 35, 24, 3.0f, true},
        {"before the span", 35, 4, 3.0f, false},
        {"among the newest ten", 35, 25, 3.0f, false},
        {"under 0.1 s looks at nothing", 35, 34, 0.05f, false},
        {"short lists are looked at whole", 5, 4, 1.0f, true},
        {"all quiet", 35, std::nullopt, 3.0f, false},
        {"nothing yet", 0, std::nullopt, 3.0f, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> energies(c.count, 0.2f);
        if (c.loud) energies[*c.loud] = 0.9f;
        EXPECT_EQ(AudioProcessor::isVoiceDetected(energies, c.nextBufferInSeconds, 0.3f), c.expected);
    }
    // The threshold itself is silence.
    EXPECT_FALSE(AudioProcessor::isVoiceDetected(std::vector<float>(20, 0.3f), 2.0f, 0.3f));
}

TEST(AudioEnergy, PadsOrTrimsAWindow) {
    const std::vector<float> samples{1, 2, 3, 4, 5};
    struct Case {
        int64_t startAt;
        int64_t toLength;
        std::optional<std::vector<float>> expected;
    };
    const Case cases[] = {
        {1, 3, std::vector<float>{2, 3, 4}},
        {3, 5, std::vector<float>{4, 5, 0, 0, 0}},
        {5, 3, std::nullopt},
        {-1, 3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.startAt);
        const auto array = AudioProcessing::padOrTrimAudio(samples, c.startAt, c.toLength, false);
        ASSERT_EQ(array != nullptr, c.expected.has_value());
        if (!array) continue;
        const auto values = array->buffer<float>();
        EXPECT_EQ(std::vector<float>(values.begin(), values.end()), *c.expected);
    }
}

}  // namespace
}  // namespace sonoscribe
