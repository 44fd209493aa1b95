#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace sonoscribe {

// A range of samples or flags, end not included.
struct IndexRange {
    int64_t startIndex = 0;
    int64_t endIndex = 0;

    bool operator==(const IndexRange&) const = default;
};

// Judges fixed-length frames of audio as voiced or silent. Subclasses decide
// how (voiceActivity); the helpers here work on the flags they give.
class VoiceActivityDetector {
public:
    // Throws WhisperError (audioProcessingFailed) for a frame length or rate
    // that is not positive, or a negative overlap.
    VoiceActivityDetector(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples);
    virtual ~VoiceActivityDetector() = default;

    int64_t sampleRate() const noexcept { return sampleRate_; }
    int64_t frameLengthSamples() const noexcept { return frameLengthSamples_; }
    int64_t frameOverlapSamples() const noexcept { return frameOverlapSamples_; }

    // One flag per frame. The base has no way to judge and throws
    // std::logic_error.
    virtual std::vector<bool> voiceActivity(const std::vector<float>& waveform) const;
    virtual std::vector<bool> voiceActivityAsync(const std::vector<float>& waveform) const;
    // The sample ranges of voiced runs of frames.
    virtual std::vector<IndexRange> calculateActiveChunks(const std::vector<float>& waveform) const;
    virtual int64_t voiceActivityIndexToAudioSampleIndex(int64_t index) const;
    virtual float voiceActivityIndexToSeconds(int64_t index) const;
    // The first longest run of silent flags; none without one.
    virtual std::optional<IndexRange> findLongestSilence(const std::vector<bool>& vadResult) const;

private:
    int64_t sampleRate_;
    int64_t frameLengthSamples_;
    int64_t frameOverlapSamples_;
};

}  // namespace sonoscribe
