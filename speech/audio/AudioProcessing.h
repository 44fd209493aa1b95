#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/audio/AVAudioPCMBuffer.h"
#include "platform/coreml/MLMultiArray.h"
#include "speech/audio/AsyncThrowingStream.h"
#include "speech/decoding/StageValues.h"

namespace sonoscribe {

using AudioBufferCallback = std::function<void(const std::vector<float>&)>;
using AudioSampleStream = AsyncThrowingStream<std::vector<float>>;

// A size in pixels, as a caller may compute it.
struct CGSize {
    double width = 0;
    double height = 0;
};

// One pixel of the waveform image, straight alpha as stored.
struct RGBAPixel {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    uint8_t a = 0;

    bool operator==(const RGBAPixel&) const = default;
};

struct WaveformImage {
    int64_t width = 0;
    int64_t height = 0;
    // Row after row, width pixels each.
    std::vector<RGBAPixel> pixels;
};

// Everything of the engine that touches raw audio: live capture with a
// record of captured samples and their energy, and windows of samples for
// the model. File loading lives in AudioProcessor's static members, which
// every caller reaches directly.
class AudioProcessing {
public:
    virtual ~AudioProcessing() = default;

    // Pads with zeros or trims samples startAt ..< startAt + toLength into a
    // Float32 array of shape [toLength]. None (and a logged error) for a
    // start outside the samples or a negative length. saveSegment is unused.
    static std::shared_ptr<platform::MLMultiArray> padOrTrimAudio(const std::vector<float>& fromArray, int64_t startAt,
                                                                  int64_t toLength, bool saveSegment = false);

    // The standard file loader, summing all channels, from the start to the
    // end of the file, on a task of the shared pool.
    static std::shared_ptr<platform::audio::AVAudioPCMBuffer> loadAudioAsync(const std::string& fromPath);

    // The samples' bytes as 32-bit little-endian pixels with alpha first.
    // Throws WhisperError (audioProcessingFailed) for a size that is not a
    // positive whole number of pixels or needs more samples than given.
    static WaveformImage createWaveformImage(const std::vector<float>& fromAudio, CGSize withSize);

    // Every 16 kHz mono sample captured since the last start, oldest first.
    virtual std::vector<float> audioSamples() const = 0;
    // How many samples audioSamples() would give, without copying them.
    virtual int64_t audioSampleCount() const;
    // Samples from ..< to of audioSamples(), clamped to what it holds, copying
    // only those: a live pass over an hour's recording needs its last seconds.
    virtual std::vector<float> audioSampleRange(int64_t from, int64_t to) const;
    // Keeps only the newest keepingLast samples.
    virtual void purgeAudioSamples(int64_t keepingLast) = 0;
    // One value in 0...1 per processed buffer.
    virtual std::vector<float> relativeEnergy() const = 0;
    // The newest `count` values of relativeEnergy() (all when it has fewer),
    // copying only those.
    virtual std::vector<float> latestRelativeEnergy(int64_t count) const;
    virtual int64_t relativeEnergyWindow() const = 0;
    virtual void setRelativeEnergyWindow(int64_t window) = 0;

    // A device of none means the system default input.
    virtual void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                    AudioBufferCallback callback = nullptr) = 0;
    // Never throws: a failure to start ends the stream with the error.
    virtual std::pair<AudioSampleStream, AudioSampleStream::Continuation> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) = 0;
    virtual void pauseRecording() = 0;
    virtual void stopRecording() = 0;
    virtual void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                                     AudioBufferCallback callback = nullptr) = 0;
    // padOrTrimAudio as a pipeline value; null when that gives none.
    virtual std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& fromArray, int64_t startAt,
                                                                int64_t toLength) = 0;
};

}  // namespace sonoscribe
