#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/concurrency/Progress.h"
#include "speech/audio/AudioProcessing.h"
#include "speech/decoding/AudioEncoder.h"
#include "speech/decoding/FeatureExtractor.h"
#include "speech/decoding/SegmentSeeker.h"
#include "speech/decoding/TextDecoder.h"
#include "speech/decoding/WhisperTokenizer.h"
#include "speech/model/DecodingOptions.h"
#include "speech/model/TranscriptionProgress.h"
#include "speech/model/TranscriptionResult.h"
#include "speech/model/TranscriptionTimings.h"

namespace sonoscribe {

using SegmentDiscoveryCallback = std::function<void(const std::vector<TranscriptionSegment>&)>;

// Runs the whole pipeline over one array of 16 kHz samples, window by window:
// pad or trim, mel, encoder, decoding with temperature fallback, segments and
// the next seek, word timings. One object runs one transcription at a time;
// running it again keeps adding to its timings.
class TranscribeTask {
public:
    // A null progress becomes a new one, a null processor a new AudioProcessor.
    TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<platform::Progress> progress,
                   std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
                   std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
                   std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer);
    virtual ~TranscribeTask() = default;
    TranscribeTask(const TranscribeTask&) = delete;
    TranscribeTask& operator=(const TranscribeTask&) = delete;

    virtual std::shared_ptr<const WhisperTokenizer> tokenizer() const { return tokenizer_; }
    virtual void setTokenizer(std::shared_ptr<const WhisperTokenizer> tokenizer) { tokenizer_ = std::move(tokenizer); }
    virtual SegmentDiscoveryCallback segmentDiscoveryCallback() const { return segmentDiscoveryCallback_; }
    virtual void setSegmentDiscoveryCallback(SegmentDiscoveryCallback callback) {
        segmentDiscoveryCallback_ = std::move(callback);
    }

    // Hooks for subclasses, called for every window with segments.
    virtual void windowPreprocess(const AudioProcessorOutputType& samples, int64_t seek, int64_t segmentSize);
    virtual std::vector<TranscriptionSegment> windowPostProcess(int64_t seek, int64_t segmentSize,
                                                                std::vector<TranscriptionSegment> originalSegments);

    // The callback sees every decoding step's progress, from other threads;
    // false stops the current window's decoding early, not the run.
    // audioArray holds the recording from sample audioArrayStart on, so that
    // a live pass hands over only what it decodes: seeks, clips and times
    // stay offsets into the whole recording, and no clip starts before the
    // samples given.
    virtual std::shared_ptr<TranscriptionResult> run(const std::vector<float>& audioArray,
                                                     const std::optional<DecodingOptions>& decodeOptions,
                                                     const TranscriptionCallback& callback,
                                                     int64_t audioArrayStart = 0);

    virtual std::shared_ptr<TranscriptionResult> finalizeTranscriptionResult(
        const std::vector<int64_t>& tokens, std::vector<TranscriptionSegment> segments,
        const std::optional<std::string>& language, const TranscriptionTimings& timings);

    const TranscriptionTimings& timings() const { return timings_; }
    const std::shared_ptr<platform::Progress>& progress() const { return progress_; }

private:
    DecodingResult decodeWithFallback(const AudioEncoderOutputType& encoderSegment, const DecodingOptions& options,
                                      std::shared_ptr<DecodingInputsType>& decoderInputs,
                                      std::optional<std::string>& detectedLanguage,
                                      const TranscriptionCallback& callback);

    TranscriptionTimings timings_;
    // The stored fallback index, shared with progress reports that arrive on
    // other threads, possibly after the run has ended.
    const std::shared_ptr<std::atomic<double>> fallbackCount_;
    const std::shared_ptr<platform::Progress> progress_;
    const std::shared_ptr<AudioEncoding> audioEncoder_;
    const std::shared_ptr<FeatureExtracting> featureExtractor_;
    const std::shared_ptr<SegmentSeeking> segmentSeeker_;
    const std::shared_ptr<TextDecoding> textDecoder_;
    const std::shared_ptr<AudioProcessing> audioProcessor_;
    std::shared_ptr<const WhisperTokenizer> tokenizer_;
    SegmentDiscoveryCallback segmentDiscoveryCallback_;
};

// The temperatures of successive attempts, in half precision.
std::vector<platform::Float16> temperatureLadder(const DecodingOptions& options);

// The samples of one window: the mel stage's own length, or the full 30 s
// window when it reports none. A model whose audio input has an open
// dimension reports -1, which is no length either.
int64_t windowSamplesOrDefault(const FeatureExtracting& featureExtractor);

}  // namespace sonoscribe
