#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/concurrency/SerialExecutor.h"
#include "speech/engine/SharedArray.h"
#include "speech/engine/TranscribeTask.h"

namespace sonoscribe {

// Transcribes live capture while it grows: every 100 ms it looks at the
// processor's buffer, and once more than a second of new audio (with voice,
// when asked) has arrived it transcribes the buffer again from the end of
// the last confirmed segment. All but the last requiredSegmentsForConfirmation
// segments of a pass are confirmed and never change again. State changes are
// made on the transcriber's own serial executor and reported there.
class AudioStreamTranscriber : public std::enable_shared_from_this<AudioStreamTranscriber> {
public:
    // What a waiting transcriber shows as its current text; never part of a
    // transcript.
    static constexpr const char* waitingPlaceholder = "Waiting for speech...";

    // Copied for every report: what grows with the dictation is shared
    // between the copies.
    struct State {
        bool isRecording = false;
        int64_t currentFallbacks = 0;
        int64_t lastBufferSize = 0;
        float lastConfirmedSegmentEndSeconds = 0;
        SharedArray<float> bufferEnergy;
        std::string currentText;
        SharedArray<TranscriptionSegment> confirmedSegments;
        std::vector<TranscriptionSegment> unconfirmedSegments;
        std::vector<std::string> unconfirmedText;
    };
    // Called on the transcriber's executor after every single change, with
    // the state before and after; it must not wait on the transcriber.
    using StateChangeCallback = std::function<void(const State& oldState, const State& newState)>;

    static std::shared_ptr<AudioStreamTranscriber> create(
        std::shared_ptr<AudioEncoding> audioEncoder, std::shared_ptr<FeatureExtracting> featureExtractor,
        std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
        std::shared_ptr<const WhisperTokenizer> tokenizer, std::shared_ptr<AudioProcessing> audioProcessor,
        DecodingOptions decodingOptions, int64_t requiredSegmentsForConfirmation, float silenceThreshold,
        int64_t compressionCheckWindow, bool useVAD, StateChangeCallback stateChangeCallback);

    // Starts capture and transcribes until stopped; after the stop it
    // transcribes what arrived since the last pass once more, then returns.
    // Throws only when capture cannot start (recording then stays marked
    // until a stop). A pass that fails is logged and ends the loop, leaving
    // recording and capture to the caller's stop. Without microphone access
    // it logs and returns.
    void startStreamTranscription();
    // Ends recording and capture; a pass in flight still finishes.
    void stopStreamTranscription();

    State state() const;

    // false when the window's decoding should stop: its recent tokens repeat
    // too much or its tokens are too unlikely; never true.
    static std::optional<bool> shouldStopEarly(const TranscriptionProgress& progress, const DecodingOptions& options,
                                               int64_t compressionCheckWindow);

private:
    AudioStreamTranscriber(std::shared_ptr<TranscribeTask> task, std::shared_ptr<AudioProcessing> audioProcessor,
                           DecodingOptions decodingOptions, int64_t requiredSegmentsForConfirmation,
                           float silenceThreshold, int64_t compressionCheckWindow, bool useVAD,
                           StateChangeCallback stateChangeCallback);

    // Changes the state on the executor and reports the change.
    void update(const std::function<void(State&)>& change);
    template <class Read>
    auto read(Read reader) const {
        return executor_.run([&] { return reader(state_); });
    }

    void onAudioBufferCallback();
    void onProgressCallback(const TranscriptionProgress& progress);
    // One step of the loop: a wait or a pass.
    void transcribeCurrentBuffer();
    // One pass over the first bufferSize samples; `last` marks the pass
    // after the stop.
    void transcribeNewAudio(int64_t bufferSize, bool last);
    std::shared_ptr<TranscriptionResult> transcribeAudioSamples(int64_t bufferSize);
    void applyResult(const TranscriptionResult& result);
    void waitBriefly();

    platform::SerialExecutor executor_{"AudioStreamTranscriber"};
    State state_;
    const StateChangeCallback stateChangeCallback_;
    const int64_t requiredSegmentsForConfirmation_;
    const bool useVAD_;
    const float silenceThreshold_;
    const int64_t compressionCheckWindow_;
    const std::shared_ptr<TranscribeTask> transcribeTask_;
    const std::shared_ptr<AudioProcessing> audioProcessor_;
    const DecodingOptions decodingOptions_;
};

}  // namespace sonoscribe
