#include "speech/engine/AudioStreamTranscriber.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "platform/concurrency/Sleep.h"
#include "platform/concurrency/Task.h"
#include "platform/text/Graphemes.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/decoding/TextUtilities.h"
#include "speech/model/Signposts.h"

namespace sonoscribe {
namespace {

constexpr int64_t sampleRate = 16000;

std::string errorDescription(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return caught.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

std::shared_ptr<AudioStreamTranscriber> AudioStreamTranscriber::create(
    std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
    std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
    std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
    DecodingOptions decodingOptions, int64_t requiredSegmentsForConfirmation, float silenceThreshold,
    int64_t compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback) {
    auto task = std::make_shared<TranscribeTask>(TranscriptionTimings(), platform::Progress::create(0), audioProcessor,
                                                 std::move(audioEncoder), std::move(featureExtractor),
                                                 std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
    return std::shared_ptr<AudioStreamTranscriber>(new AudioStreamTranscriber(
        std::move(task), std::move(audioProcessor), std::move(decodingOptions), requiredSegmentsForConfirmation,
        silenceThreshold, compressionCheckWindow, useVAD, std::move(stateChangeCallback)));
}

AudioStreamTranscriber::AudioStreamTranscriber(std::shared_ptr<TranscribeTask> task,
                                               std::shared_ptr<AudioProcessing> audioProcessor,
                                               DecodingOptions decodingOptions, int64_t requiredSegmentsForConfirmation,
                                               float silenceThreshold, int64_t compressionCheckWindow, bool useVAD,
                                               StateChangeCallback stateChangeCallback)
    : stateChangeCallback_(std::move(stateChangeCallback)),
      requiredSegmentsForConfirmation_(requiredSegmentsForConfirmation),
      useVAD_(useVAD),
      silenceThreshold_(silenceThreshold),
      compressionCheckWindow_(compressionCheckWindow),
      transcribeTask_(std::move(task)),
      audioProcessor_(std::move(audioProcessor)),
      decodingOptions_(std::move(decodingOptions)) {}

AudioStreamTranscriber::State AudioStreamTranscriber::state() const {
    return read([](const State& state) { return state; });
}

void AudioStreamTranscriber::update(const std::function<void(State&)>& change) {
    executor_.run([&] {
        if (!stateChangeCallback_) {
            change(state_);
            return;
        }
        const State old = state_;
        change(state_);
        stateChangeCallback_(old, state_);
    });
}

void AudioStreamTranscriber::startStreamTranscription() {
    if (read([](const State& state) { return state.isRecording; })) return;
    if (!AudioProcessor::requestRecordPermission()) {
        Logging::error("Microphone access was not granted.");
        return;
    }
    update([](State& state) { state.isRecording = true; });

    const std::weak_ptr<AudioStreamTranscriber> weakSelf = weak_from_this();
    audioProcessor_->startRecordingLive(std::nullopt, [weakSelf](const std::vector<float>&) {
        if (const auto self = weakSelf.lock()) {
            self->executor_.post([weakSelf] {
                if (const auto alive = weakSelf.lock()) alive->onAudioBufferCallback();
            });
        }
    });
    Logging::info("Realtime transcription has started");

    try {
        while (read([](const State& state) { return state.isRecording; })) transcribeCurrentBuffer();
        // Whatever arrived after the last pass is transcribed once more, so
        // the last words before the stop are not lost.
        const int64_t bufferSize = audioProcessor_->audioSampleCount();
        if (bufferSize > read([](const State& state) { return state.lastBufferSize; })) transcribeNewAudio(bufferSize, true);
    } catch (...) {
        // The loop ends here and is not started again; recording and capture
        // stay as they are until the caller stops them.
        Logging::error("Error: " + errorDescription(std::current_exception()));
    }
}

void AudioStreamTranscriber::stopStreamTranscription() {
    // One turn of the serial context: the loop sees recording end only once
    // capture has ended and appended what it held back, so the pass after the
    // stop takes every sample.
    executor_.run([this] {
        update([](State& state) { state.isRecording = false; });
        audioProcessor_->stopRecording();
    });
    Logging::info("Realtime transcription has ended");
}

void AudioStreamTranscriber::waitBriefly() {
    // Reported once, when the placeholder is put in, not on every wait.
    if (read([](const State& state) { return state.currentText.empty(); })) {
        update([](State& state) { state.currentText = waitingPlaceholder; });
    }
    platform::sleep(std::chrono::milliseconds(100));
}

void AudioStreamTranscriber::transcribeCurrentBuffer() {
    // The count alone: a poll copies nothing of a recording that may be an
    // hour long.
    const int64_t bufferSize = audioProcessor_->audioSampleCount();
    const int64_t newSamples = bufferSize - read([](const State& state) { return state.lastBufferSize; });
    const float newSeconds = static_cast<float>(newSamples) / static_cast<float>(sampleRate);
    if (!(newSeconds > 1.0f)) {
        waitBriefly();
        return;
    }
    // The voice check looks at no more than the new audio's energies, one
    // per 0.1 s; one more than that is enough.
    if (useVAD_ && !AudioProcessor::isVoiceDetected(
                       audioProcessor_->latestRelativeEnergy(static_cast<int64_t>(std::ceil(newSeconds / 0.1f)) + 1),
                       newSeconds, silenceThreshold_)) {
        Logging::debug("No voice detected, skipping transcribe");
        waitBriefly();
        return;
    }
    transcribeNewAudio(bufferSize, false);
}

void AudioStreamTranscriber::transcribeNewAudio(int64_t bufferSize, bool last) {
    update([&](State& state) { state.lastBufferSize = bufferSize; });
    const std::shared_ptr<TranscriptionResult> result = transcribeAudioSamples(bufferSize);
    // A last pass too short to hold a window finds nothing; it must not take
    // away what the pass before it found.
    if (last && result->segments().empty()) return;
    applyResult(*result);
}

void AudioStreamTranscriber::applyResult(const TranscriptionResult& result) {
    update([](State& state) { state.currentText.clear(); });
    update([](State& state) { state.unconfirmedText.clear(); });
    const std::vector<TranscriptionSegment> segments = result.segments();
    const auto required = static_cast<std::size_t>(std::max<int64_t>(requiredSegmentsForConfirmation_, 0));
    if (segments.size() <= required) {
        update([&](State& state) { state.unconfirmedSegments = segments; });
        return;
    }
    const auto split = segments.end() - static_cast<std::ptrdiff_t>(required);
    const std::vector<TranscriptionSegment> toConfirm(segments.begin(), split);
    const std::vector<TranscriptionSegment> remaining(split, segments.end());
    const float confirmedEnd = toConfirm.back().end;
    if (read([&](const State& state) { return confirmedEnd > state.lastConfirmedSegmentEndSeconds; })) {
        update([&](State& state) { state.lastConfirmedSegmentEndSeconds = confirmedEnd; });
        const bool alreadyConfirmed = read([&](const State& state) {
            const auto& confirmed = state.confirmedSegments;
            return std::search(confirmed.begin(), confirmed.end(), toConfirm.begin(), toConfirm.end()) !=
                   confirmed.end();
        });
        if (!alreadyConfirmed) {
            update([&](State& state) { state.confirmedSegments.append(toConfirm.begin(), toConfirm.end()); });
        }
    }
    update([&](State& state) { state.unconfirmedSegments = remaining; });
}

std::shared_ptr<TranscriptionResult> AudioStreamTranscriber::transcribeAudioSamples(int64_t bufferSize) {
    DecodingOptions options = decodingOptions_;
    options.clipTimestamps = {read([](const State& state) { return state.lastConfirmedSegmentEndSeconds; })};
    // The pass decodes from where its clip starts, so it is handed the audio
    // from there on: confirmed audio before it is never read again.
    int64_t from = bufferSize;
    for (const SeekClip& clip : options.prepareSeekClips(bufferSize)) from = std::min(from, clip.start);
    from = std::clamp<int64_t>(from, 0, bufferSize);
    const std::vector<float> samples = audioProcessor_->audioSampleRange(from, bufferSize);
    const std::weak_ptr<AudioStreamTranscriber> weakSelf = weak_from_this();
    const int64_t window = compressionCheckWindow_;
    return transcribeTask_->run(
        samples, options,
        [weakSelf, options, window](const TranscriptionProgress& progress) {
            if (const auto self = weakSelf.lock()) {
                self->executor_.post([weakSelf, progress] {
                    if (const auto alive = weakSelf.lock()) alive->onProgressCallback(progress);
                });
            }
            return shouldStopEarly(progress, options, window);
        },
        from);
}

std::optional<bool> AudioStreamTranscriber::shouldStopEarly(const TranscriptionProgress& progress,
                                                            const DecodingOptions& options,
                                                            int64_t compressionCheckWindow) {
    // Without a threshold there is no compression test at all.
    if (options.compressionRatioThreshold && compressionCheckWindow >= 0 &&
        static_cast<int64_t>(progress.tokens.size()) > compressionCheckWindow) {
        const std::vector<int64_t> recent(progress.tokens.end() - compressionCheckWindow, progress.tokens.end());
        if (TextUtilities::compressionRatio(recent) > *options.compressionRatioThreshold) return false;
    }
    if (progress.avgLogprob && options.logProbThreshold && *progress.avgLogprob < *options.logProbThreshold) {
        return false;
    }
    return std::nullopt;
}

void AudioStreamTranscriber::onProgressCallback(const TranscriptionProgress& progress) {
    const auto fallbacks = static_cast<int64_t>(progress.timings.totalDecodingFallbacks);
    if (platform::text::graphemeCount(progress.text) < platform::text::graphemeCount(state_.currentText)) {
        if (state_.currentFallbacks == fallbacks) {
            // After a wait this is the placeholder; the pass's end clears the list.
            update([](State& state) { state.unconfirmedText.push_back(state.currentText); });
        } else {
            Logging::info("Fallback occured: " + std::to_string(fallbacks));
        }
    }
    update([&](State& state) { state.currentText = progress.text; });
    update([&](State& state) { state.currentFallbacks = fallbacks; });
}

void AudioStreamTranscriber::onAudioBufferCallback() {
    SharedArray<float> energy = audioProcessor_->relativeEnergy();
    update([&](State& state) { state.bufferEnergy = std::move(energy); });
}

}  // namespace sonoscribe
