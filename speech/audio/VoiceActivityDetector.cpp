#include "speech/audio/VoiceActivityDetector.h"

#include <algorithm>
#include <stdexcept>

#include "speech/model/WhisperError.h"

namespace sonoscribe {

VoiceActivityDetector::VoiceActivityDetector(int64_t sampleRate, int64_t frameLengthSamples, int64_t frameOverlapSamples)
    : sampleRate_(sampleRate), frameLengthSamples_(frameLengthSamples), frameOverlapSamples_(frameOverlapSamples) {
    if (sampleRate <= 0 || frameLengthSamples <= 0 || frameOverlapSamples < 0) {
        throw WhisperError::audioProcessingFailed("Voice activity frames need a positive rate and length");
    }
}

std::vector<bool> VoiceActivityDetector::voiceActivity(const std::vector<float>&) const {
    throw std::logic_error("`voiceActivity` must be implemented by subclass");
}

std::vector<bool> VoiceActivityDetector::voiceActivityAsync(const std::vector<float>& waveform) const {
    return voiceActivity(waveform);
}

std::vector<IndexRange> VoiceActivityDetector::calculateActiveChunks(const std::vector<float>& waveform) const {
    const std::vector<bool> flags = voiceActivity(waveform);
    const auto count = static_cast<int64_t>(waveform.size());
    std::vector<IndexRange> ranges;
    for (std::size_t i = 0; i < flags.size(); ++i) {
        if (!flags[i]) continue;
        const int64_t start = static_cast<int64_t>(i) * frameLengthSamples_;
        const int64_t end = std::min(start + frameLengthSamples_, count);
        if (i == 0 || !flags[i - 1]) {
            ranges.push_back({start, end});
        } else {
            ranges.back().endIndex = end;
        }
    }
    return ranges;
}

int64_t VoiceActivityDetector::voiceActivityIndexToAudioSampleIndex(int64_t index) const {
    return index * frameLengthSamples_;
}

float VoiceActivityDetector::voiceActivityIndexToSeconds(int64_t index) const {
    return static_cast<float>(index * frameLengthSamples_) / static_cast<float>(sampleRate_);
}

std::optional<IndexRange> VoiceActivityDetector::findLongestSilence(const std::vector<bool>& vadResult) const {
    std::optional<IndexRange> best;
    std::size_t i = 0;
    while (i < vadResult.size()) {
        if (vadResult[i]) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < vadResult.size() && !vadResult[i]) ++i;
        if (!best || static_cast<int64_t>(i - start) > best->endIndex - best->startIndex) {
            best = IndexRange{static_cast<int64_t>(start), static_cast<int64_t>(i)};
        }
    }
    return best;
}

}  // namespace sonoscribe
