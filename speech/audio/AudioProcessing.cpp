#include "speech/audio/AudioProcessing.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "mlcore/foundation/Logging.h"
#include "platform/concurrency/Task.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

std::shared_ptr<platform::MLMultiArray> AudioProcessing::padOrTrimAudio(const std::vector<float>& fromArray,
                                                                        int64_t startAt, int64_t toLength, bool) {
    const auto count = static_cast<int64_t>(fromArray.size());
    if (startAt < 0 || startAt >= count) {
        celvan::Logging::error("startIndex is outside the buffer size");
        return nullptr;
    }
    if (toLength < 0) {
        celvan::Logging::error("toLength must not be negative");
        return nullptr;
    }
    auto array = std::make_shared<platform::MLMultiArray>(std::vector<int64_t>{toLength},
                                                          platform::MLMultiArrayDataType::float32);
    const int64_t n = std::min(count - startAt, toLength);
    std::memcpy(array->buffer<float>().data(), fromArray.data() + startAt, static_cast<std::size_t>(n) * sizeof(float));
    return array;
}

namespace {

// Values from ..< to of `values`, clamped to it.
std::vector<float> clampedSlice(const std::vector<float>& values, int64_t from, int64_t to) {
    const auto count = static_cast<int64_t>(values.size());
    to = std::clamp<int64_t>(to, 0, count);
    from = std::clamp<int64_t>(from, 0, to);
    return {values.begin() + from, values.begin() + to};
}

}  // namespace

int64_t AudioProcessing::audioSampleCount() const { return static_cast<int64_t>(audioSamples().size()); }

std::vector<float> AudioProcessing::audioSampleRange(int64_t from, int64_t to) const {
    return clampedSlice(audioSamples(), from, to);
}

std::vector<float> AudioProcessing::latestRelativeEnergy(int64_t count) const {
    const std::vector<float> energy = relativeEnergy();
    return clampedSlice(energy, static_cast<int64_t>(energy.size()) - std::max<int64_t>(count, 0),
                        static_cast<int64_t>(energy.size()));
}

std::shared_ptr<platform::audio::AVAudioPCMBuffer> AudioProcessing::loadAudioAsync(const std::string& fromPath) {
    platform::Task<std::shared_ptr<platform::audio::AVAudioPCMBuffer>> task([fromPath] {
        return AudioProcessor::loadAudio(fromPath, AudioInputConfig::ChannelMode::sumChannels(std::nullopt), 0.0,
                                         std::nullopt, std::nullopt);
    });
    return task.value();
}

WaveformImage AudioProcessing::createWaveformImage(const std::vector<float>& fromAudio, CGSize withSize) {
    auto whole = [](double value) {
        return std::isfinite(value) && value >= 1 && value <= static_cast<double>(std::numeric_limits<int32_t>::max());
    };
    if (!whole(withSize.width) || !whole(withSize.height)) {
        throw WhisperError::audioProcessingFailed("Waveform image size must be a positive number of pixels");
    }
    WaveformImage image;
    image.width = static_cast<int64_t>(withSize.width);
    image.height = static_cast<int64_t>(withSize.height);
    const auto pixels = static_cast<uint64_t>(image.width) * static_cast<uint64_t>(image.height);
    if (pixels > fromAudio.size()) {
        throw WhisperError::audioProcessingFailed("Waveform image needs " + std::to_string(pixels) + " samples, got " +
                                                  std::to_string(fromAudio.size()));
    }
    image.pixels.resize(pixels);
    for (uint64_t i = 0; i < pixels; ++i) {
        // Little-endian with alpha first: the bytes run blue, green, red, alpha.
        uint8_t bytes[4];
        std::memcpy(bytes, &fromAudio[i], 4);
        image.pixels[i] = {bytes[2], bytes[1], bytes[0], bytes[3]};
    }
    return image;
}

}  // namespace sonoscribe
