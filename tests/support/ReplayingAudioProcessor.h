#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
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
    int64_t audioSampleCount() const override {
        std::lock_guard lock(mutex_);
        return static_cast<int64_t>(samples_.size());
    }
    std::vector<float> audioSampleRange(int64_t from, int64_t to) const override {
        std::lock_guard lock(mutex_);
        return slice(samples_, from, to);
    }
    std::vector<float> relativeEnergy() const override {
        std::lock_guard lock(mutex_);
        return energy_;
    }
    std::vector<float> latestRelativeEnergy(int64_t count) const override {
        std::lock_guard lock(mutex_);
        const auto size = static_cast<int64_t>(energy_.size());
        return slice(energy_, size - count, size);
    }
    void startRecordingLive(std::optional<uint32_t>, std::function<void(const std::vector<float>&)> callback) override {
        if (failStart) throw WhisperError::microphoneUnavailable("No input device");
        std::lock_guard lock(mutex_);
        callback_ = std::move(callback);
        recording_ = true;
    }
    void stopRecording() override {
        {
            std::lock_guard lock(mutex_);
            recording_ = false;
        }
        if (heldAtStop.empty()) return;
        // A real capture appends its resampler's held-back frames only once
        // the stream is torn down, which takes a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        std::lock_guard lock(mutex_);
        samples_.insert(samples_.end(), heldAtStop.begin(), heldAtStop.end());
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
    // What the stop appends; set before capture starts.
    std::vector<float> heldAtStop;

private:
    static std::vector<float> slice(const std::vector<float>& values, int64_t from, int64_t to) {
        to = std::clamp<int64_t>(to, 0, static_cast<int64_t>(values.size()));
        from = std::clamp<int64_t>(from, 0, to);
        return {values.begin() + from, values.begin() + to};
    }

    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<float> energy_;
    std::function<void(const std::vector<float>&)> callback_;
    bool recording_ = false;
};

}  // namespace sonoscribe::testing
