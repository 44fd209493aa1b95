#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe::testing {

// Stands in for capture: the test hands it audio, and it keeps samples and
// energies as the real processor does.
class ReplayingAudioProcessor : public AudioProcessor {
public:
    std::vector<float> audioSamples() const override {
        std::lock_guard lock(mutex_);
        return samples_;
    }
    std::vector<float> relativeEnergy() const override {
        std::lock_guard lock(mutex_);
        return energy_;
    }
    void startRecordingLive(std::optional<uint32_t>, std::function<void(const std::vector<float>&)> callback) override {
        if (failStart) throw WhisperError::microphoneUnavailable("No input device");
        std::lock_guard lock(mutex_);
        callback_ = std::move(callback);
        recording_ = true;
    }
    void stopRecording() override {
        std::lock_guard lock(mutex_);
        recording_ = false;
    }
    std::shared_ptr<AudioProcessorOutputType> padOrTrim(const std::vector<float>& fromArray, int64_t startAt,
                                                        int64_t toLength) override {
        if (failWindows) return nullptr;
        return AudioProcessor::padOrTrim(fromArray, startAt, toLength);
    }

    // Adds the samples at once, then reports them as 0.1 s buffers, each
    // with a loud energy.
    void feed(const std::vector<float>& samples) {
        std::function<void(const std::vector<float>&)> callback;
        {
            std::lock_guard lock(mutex_);
            samples_.insert(samples_.end(), samples.begin(), samples.end());
            for (std::size_t at = 0; at < samples.size(); at += 1600) energy_.push_back(0.9f);
            callback = callback_;
        }
        if (!callback) return;
        for (std::size_t at = 0; at < samples.size(); at += 1600) {
            callback(std::vector<float>(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                        samples.begin() + static_cast<std::ptrdiff_t>(std::min(at + 1600, samples.size()))));
        }
    }

    bool recording() const {
        std::lock_guard lock(mutex_);
        return recording_;
    }

    std::atomic<bool> failStart{false};
    std::atomic<bool> failWindows{false};

private:
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<float> energy_;
    std::function<void(const std::vector<float>&)> callback_;
    bool recording_ = false;
};

}  // namespace sonoscribe::testing
