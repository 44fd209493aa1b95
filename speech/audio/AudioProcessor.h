#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio/AVAudioConverter.h"
#include "platform/audio/AVAudioEngine.h"
#include "platform/audio/AudioDevices.h"
#include "platform/audio/AVAudioFile.h"
#include "platform/audio/AVAudioPCMBuffer.h"
#include "speech/audio/AudioDevice.h"
#include "speech/audio/AudioInputConfig.h"
#include "speech/audio/AudioProcessing.h"
#include "speech/audio/ChunkedStore.h"
#include "speech/audio/Result.h"
#include "speech/audio/VoiceActivityDetector.h"

namespace sonoscribe {

// One processed buffer: its energy relative to the recent noise floor (0...1),
// its root mean square, and its largest and smallest absolute sample.
struct AudioEnergy {
    float rel = 0;
    float avg = 0;
    float max = 0;
    float min = 0;

    bool operator==(const AudioEnergy&) const = default;
};

// The engine's audio front end: captures through the sound server, keeps
// every converted sample with one energy record per buffer, and loads files
// as 16 kHz mono. Capture threads append while other threads read: every
// append holds the processor's lock for its own buffer only, and a read holds
// it only to find what it copies, never while copying, so that a reader of an
// hour's recording does not hold up capture. The stream form of capture stops
// with its stream only for a processor held by a shared_ptr.
class AudioProcessor : public AudioProcessing, public std::enable_shared_from_this<AudioProcessor> {
public:
    using ChannelMode = AudioInputConfig::ChannelMode;
    using AVAudioPCMBuffer = platform::audio::AVAudioPCMBuffer;
    using AVAudioFile = platform::audio::AVAudioFile;
    using AVAudioConverter = platform::audio::AVAudioConverter;
    using AVAudioEngine = platform::audio::AVAudioEngine;

    AudioProcessor() = default;
    ~AudioProcessor() override;
    AudioProcessor(const AudioProcessor&) = delete;
    AudioProcessor& operator=(const AudioProcessor&) = delete;

    // Capture state.
    virtual std::shared_ptr<AVAudioEngine> audioEngine() const;
    virtual void setAudioEngine(std::shared_ptr<AVAudioEngine> engine);
    std::vector<float> audioSamples() const override;
    int64_t audioSampleCount() const override;
    std::vector<float> audioSampleRange(int64_t from, int64_t to) const override;
    virtual void setAudioSamples(std::vector<float> samples);
    virtual std::vector<AudioEnergy> audioEnergy() const;
    virtual void setAudioEnergy(std::vector<AudioEnergy> energy);
    int64_t relativeEnergyWindow() const override;
    void setRelativeEnergyWindow(int64_t window) override;
    std::vector<float> relativeEnergy() const override;
    std::vector<float> latestRelativeEnergy(int64_t count) const override;
    virtual AudioBufferCallback audioBufferCallback() const;
    virtual void setAudioBufferCallback(AudioBufferCallback callback);
    virtual int64_t minBufferLength() const;
    virtual void setMinBufferLength(int64_t length);
    virtual bool isInputSuppressed() const;
    virtual void setInputSuppressed(bool suppressed);
    std::optional<uint32_t> lastInputDevice() const;

    void startRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                            AudioBufferCallback callback = nullptr) override;
    std::pair<AudioSampleStream, AudioSampleStream::Continuation> startStreamingRecordingLive(
        std::optional<uint32_t> inputDeviceID = std::nullopt) override;
    void pauseRecording() override;
    void stopRecording() override;
    void resumeRecordingLive(std::optional<uint32_t> inputDeviceID = std::nullopt,
                             AudioBufferCallback callback = nullptr) override;
    // The single entry of captured 16 kHz mono samples. An empty buffer is
    // ignored: it has no energy.
    void processBuffer(const std::vector<float>& buffer);
    void purgeAudioSamples(int64_t keepingLast) override;
    std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& fromArray, int64_t startAt,
                                                        int64_t toLength) override;

    // Energy and voice.
    // True when the sound server answers and has an input.
    static bool requestRecordPermission();
    static bool isVoiceDetected(const std::vector<float>& relativeEnergy, float nextBufferInSeconds,
                                float silenceThreshold);
    static float calculateAverageEnergy(const std::vector<float>& signal);
    // (root mean square, largest absolute value, smallest absolute value).
    static AudioEnergy calculateEnergy(const std::vector<float>& signal);
    static float calculateRelativeEnergy(const std::vector<float>& signal, std::optional<float> relativeTo);
    // Frames that would start past the end are silent.
    static std::vector<bool> calculateVoiceActivityInChunks(const std::vector<float>& signal, int64_t chunkCount,
                                                            int64_t frameLengthSamples, int64_t frameOverlapSamples,
                                                            float energyThreshold);
    static std::vector<IndexRange> calculateNonSilentChunks(const std::vector<float>& signal);

    // Devices.
    static std::vector<AudioDevice> getAudioDevices();
    static void assignAudioInput(platform::audio::AVAudioInputNode& inputNode, uint32_t inputDeviceID);

    // Files. Throwing loaders throw WhisperError (loadAudioFailed) or
    // platform::audio::AudioFileError when the file cannot be opened.
    static std::shared_ptr<AVAudioPCMBuffer> loadAudio(const std::string& fromPath, const ChannelMode& channelMode,
                                                       std::optional<double> startTime = std::nullopt,
                                                       std::optional<double> endTime = std::nullopt,
                                                       std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    static std::shared_ptr<AVAudioPCMBuffer> loadAudio(AVAudioFile& fromFile, const ChannelMode& channelMode,
                                                       std::optional<double> startTime = std::nullopt,
                                                       std::optional<double> endTime = std::nullopt,
                                                       std::optional<uint32_t> maxReadFrameSize = std::nullopt);
    static std::vector<float> loadAudioAsFloatArray(const std::string& fromPath, const ChannelMode& channelMode,
                                                    std::optional<double> startTime = std::nullopt,
                                                    std::optional<double> endTime = std::nullopt);
    // One result per path, in path order; the files load in parallel.
    static std::vector<Result<std::vector<float>>> loadAudio(const std::vector<std::string>& at,
                                                             const ChannelMode& channelMode);
    // Reads frameCount frames (all when none) from the file's read position
    // through one resampler. Logs and returns null on failure.
    static std::shared_ptr<AVAudioPCMBuffer> resampleAudio(AVAudioFile& fromFile, double toSampleRate,
                                                           uint32_t channelCount, const ChannelMode& channelMode,
                                                           std::optional<uint32_t> frameCount,
                                                           uint32_t maxReadFrameSize);
    static std::shared_ptr<AVAudioPCMBuffer> resampleAudio(const AVAudioPCMBuffer& fromBuffer, double toSampleRate,
                                                           uint32_t channelCount);
    // Converts one buffer of a stream; the converter keeps the stream's
    // history, so it must be used for that stream alone.
    static std::shared_ptr<AVAudioPCMBuffer> resampleBuffer(const AVAudioPCMBuffer& buffer, AVAudioConverter& with);
    // The same into `into`, which is replaced only when it cannot hold the
    // result, so that a capture converting buffer after buffer keeps one.
    static void resampleBuffer(const AVAudioPCMBuffer& buffer, AVAudioConverter& with,
                               std::shared_ptr<AVAudioPCMBuffer>& into);
    static std::shared_ptr<AVAudioPCMBuffer> convertToMono(const AVAudioPCMBuffer& buffer, const ChannelMode& mode);
    // Copies the first channel out and leaves it silent.
    static std::vector<float> convertBufferToArray(AVAudioPCMBuffer& buffer, int64_t chunkSize);
    // The same into `into`, which grows only when it has to.
    static void convertBufferToArray(AVAudioPCMBuffer& buffer, int64_t chunkSize, std::vector<float>& into);

private:
    struct CaptureConversion;
    // A running capture: its engine, and what its tap converts each buffer with.
    struct Capture {
        std::shared_ptr<AVAudioEngine> engine;
        std::shared_ptr<CaptureConversion> conversion;
    };

    Capture setupEngine(std::optional<uint32_t> inputDeviceID);
    void tearDown(std::shared_ptr<AVAudioEngine> engine);
    // Hands the recording what the ended capture's resampler still holds.
    void finishCapture(CaptureConversion& conversion);
    void suppressInputIfNeeded(std::vector<float>& buffer) const;
    // The relative energy of a buffer of that root mean square over the floor.
    static float relativeToFloor(float rms, float floor);

    mutable std::mutex mutex_;
    std::optional<uint32_t> lastInputDevice_;
    std::shared_ptr<AVAudioEngine> audioEngine_;
    std::shared_ptr<CaptureConversion> conversion_;
    // Thirty seconds of samples, and about seven minutes of buffers' records,
    // a chunk.
    ChunkedStore<float> audioSamples_{16000 * 30};
    ChunkedStore<AudioEnergy> audioEnergy_{4096};
    int64_t relativeEnergyWindow_ = 20;
    // Shared so the capture thread takes it for a buffer without copying
    // what the callback holds.
    std::shared_ptr<const AudioBufferCallback> audioBufferCallback_;
    int64_t minBufferLength_ = 1600;
    std::atomic<bool> isInputSuppressed_{false};
};

// appendContents of the platform's buffer: copies frames of the first
// channel block; false when formats differ or the source is too short.
bool appendContents(platform::audio::AVAudioPCMBuffer& buffer, const platform::audio::AVAudioPCMBuffer& of,
                    int64_t startingFrame, uint32_t frameCount);

}  // namespace sonoscribe
