#include "speech/engine/TranscribeTask.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/text/UnicodeProperties.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/decoding/AbsoluteTime.h"
#include "speech/model/Constants.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

constexpr int64_t sampleRate = 16000;
constexpr int64_t defaultTokenContext = 224;

double secondsSince(double start) { return currentAbsoluteTime() - start; }

// Runs one stage, adding its time and one run to the timings.
template <class Stage>
auto timedStage(TranscriptionTimings& timings, double TranscriptionTimings::*seconds,
                double TranscriptionTimings::*runs, Stage stage) {
    const double start = currentAbsoluteTime();
    auto output = stage();
    timings.*seconds += secondsSince(start);
    timings.*runs += 1;
    return output;
}

// Ends a signpost interval however the scope is left.
class SignpostScope {
public:
    explicit SignpostScope(std::string_view name)
        : name_(name), interval_(Logging::beginSignpost(name, Logging::TranscribeTask::signposter())) {}
    ~SignpostScope() { Logging::endSignpost(name_, interval_, Logging::TranscribeTask::signposter()); }
    SignpostScope(const SignpostScope&) = delete;
    SignpostScope& operator=(const SignpostScope&) = delete;

private:
    std::string_view name_;
    platform::log::SignpostIntervalState interval_;
};

std::string promptText(const std::vector<int64_t>& prompt, const WhisperTokenizer& tokenizer) {
    std::string text = "[";
    for (std::size_t i = 0; i < prompt.size(); ++i) {
        if (i > 0) text += ", ";
        text += "\"" + tokenizer.convertIdToToken(prompt[i]).value_or("") + "\"";
    }
    return text + "]";
}

std::string twoDecimals(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string currentDateText() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &parts);
    return text;
}

// A sample index from seconds, multiplied in single precision as the times
// are kept (2.3 s is sample 36800, not 36799); values that no audio can reach
// saturate instead of overflowing the conversion.
int64_t samplesOf(float seconds) {
    if (std::isnan(seconds)) return 0;
    constexpr float limit = 1e15f;
    return static_cast<int64_t>(std::clamp(seconds * static_cast<float>(sampleRate), -limit, limit));
}

}  // namespace

std::vector<platform::Float16> temperatureLadder(const DecodingOptions& options) {
    const auto increment = static_cast<platform::Float16>(options.temperatureIncrementOnFallback);
    const auto base = static_cast<platform::Float16>(options.temperature);
    std::vector<platform::Float16> ladder;
    // A negative count cannot form a ladder; it decodes once, like 0.
    const int64_t count = std::max<int64_t>(options.temperatureFallbackCount, 0);
    for (int64_t i = 0; i <= count; ++i) {
        const platform::Float16 product = static_cast<platform::Float16>(i) * increment;
        ladder.push_back(static_cast<platform::Float16>(product + base));
    }
    return ladder;
}

int64_t windowSamplesOrDefault(const FeatureExtracting& featureExtractor) {
    const std::optional<int64_t> samples = featureExtractor.windowSamples();
    return samples && *samples > 0 ? *samples : Constants::defaultWindowSamples;
}

TranscribeTask::TranscribeTask(TranscriptionTimings currentTimings, std::shared_ptr<platform::Progress> progress,
                               std::shared_ptr<AudioProcessing> audioProcessor,
                               std::shared_ptr<AudioEncoding> audioEncoder,
                               std::shared_ptr<FeatureExtracting> featureExtractor,
                               std::shared_ptr<SegmentSeeking> segmentSeeker, std::shared_ptr<TextDecoding> textDecoder,
                               std::shared_ptr<const WhisperTokenizer> tokenizer)
    : timings_(currentTimings),
      fallbackCount_(std::make_shared<std::atomic<double>>(currentTimings.totalDecodingFallbacks)),
      progress_(progress ? std::move(progress) : platform::Progress::create(0)),
      audioEncoder_(std::move(audioEncoder)),
      featureExtractor_(std::move(featureExtractor)),
      segmentSeeker_(std::move(segmentSeeker)),
      textDecoder_(std::move(textDecoder)),
      audioProcessor_(audioProcessor ? std::move(audioProcessor) : std::make_shared<AudioProcessor>()),
      tokenizer_(std::move(tokenizer)) {}

void TranscribeTask::windowPreprocess(const AudioProcessorOutputType&, int64_t, int64_t) {}

std::vector<TranscriptionSegment> TranscribeTask::windowPostProcess(int64_t, int64_t,
                                                                    std::vector<TranscriptionSegment> originalSegments) {
    return originalSegments;
}

DecodingResult TranscribeTask::decodeWithFallback(const AudioEncoderOutputType& encoderSegment,
                                                  const DecodingOptions& options,
                                                  std::shared_ptr<DecodingInputsType>& decoderInputs,
                                                  std::optional<std::string>& detectedLanguage,
                                                  const TranscriptionCallback& callback) {
    const SignpostScope signpost("Decode");
    const std::vector<platform::Float16> ladder = temperatureLadder(options);
    std::string ladderText = "[";
    for (std::size_t i = 0; i < ladder.size(); ++i) {
        ladderText += (i > 0 ? ", " : "") + platform::description(ladder[i]);
    }
    Logging::debug("Decoding with temperatures " + ladderText + "]");

    const SpecialTokens& special = tokenizer_->specialTokens();
    std::optional<DecodingResult> decodingResult;
    for (std::size_t i = 0; i < ladder.size(); ++i) {
        const platform::Float16 temperature = ladder[i];
        Logging::info("Decoding Temperature: " + platform::description(temperature));
        const double attemptStart = currentAbsoluteTime();
        GreedyTokenSampler sampler(temperature, special.endToken, options);
        std::optional<std::string> attemptLanguage = options.language;

        if (textDecoder_->isModelMultilingual() && !options.language && options.detectLanguage) {
            std::optional<DecodingResult> languageResult;
            try {
                languageResult = textDecoder_->detectLanguage(encoderSegment, *decoderInputs, sampler, options, temperature);
            } catch (const platform::CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                Logging::debug(std::string("Language detection failed: ") + error.what());
            }
            attemptLanguage = languageResult ? std::optional<std::string>(languageResult->language) : std::nullopt;
            detectedLanguage = attemptLanguage;
            if (options.usePrefillPrompt) {
                DecodingOptions prefillOptions = options;
                prefillOptions.language = attemptLanguage;
                decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, prefillOptions);
            }
            Logging::debug("Prefill prompt updated to: " + promptText(decoderInputs->initialPrompt(), *tokenizer_));
            if (languageResult && languageResult->timings) {
                timings_.decodingPredictions += languageResult->timings->decodingPredictions;
                timings_.decodingSampling += languageResult->timings->decodingSampling;
            }
        }

        DecodingOptions attemptOptions = options;
        attemptOptions.language = attemptLanguage;
        DecodingResult result = textDecoder_->decodeText(encoderSegment, *decoderInputs, sampler, attemptOptions, callback);
        if (!detectedLanguage) detectedLanguage = result.language;
        if (const auto& r = result.timings) {
            timings_.firstTokenTime = std::min(timings_.firstTokenTime, r->firstTokenTime);
            timings_.decodingPredictions += r->decodingPredictions;
            timings_.totalDecodingLoops += r->totalDecodingLoops;
            timings_.decodingNonPrediction += r->decodingNonPrediction;
            timings_.decodingFiltering += r->decodingFiltering;
            timings_.decodingSampling += r->decodingSampling;
            timings_.decodingKvCaching += r->decodingKvCaching;
            timings_.totalKVUpdateRuns += r->totalKVUpdateRuns;
        }
        const bool needsFallback = result.fallback && result.fallback->needsFallback;
        const std::string reason = result.fallback ? result.fallback->fallbackReason : "";
        decodingResult = std::move(result);
        if (!needsFallback) break;
        timings_.decodingFallback += secondsSince(attemptStart);
        // The attempt's index, not a running count: the next window's id is
        // taken against it, and the reports carry it as it stands.
        timings_.totalDecodingFallbacks = static_cast<double>(i);
        fallbackCount_->store(timings_.totalDecodingFallbacks);
        decoderInputs->reset(options.sampleLength);
        Logging::info("Fallback #" + std::to_string(i + 1) + " (" + reason + ")");
    }
    if (!decodingResult) throw WhisperError::decodingFailed("Decoding failed");
    return std::move(*decodingResult);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::run(const std::vector<float>& audioArray,
                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                         const TranscriptionCallback& callback,
                                                         int64_t audioArrayStart) {
    const SignpostScope signpost("TranscribeAudio");
    timings_.pipelineStart = std::min(currentAbsoluteTime(), timings_.pipelineStart);
    Logging::debug("Starting pipeline at: " + currentDateText());

    DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    options.verbose = Logging::isLoggingEnabled();

    const int64_t arrayStart = std::max<int64_t>(audioArrayStart, 0);
    const int64_t sampleCount = arrayStart + static_cast<int64_t>(audioArray.size());
    const double firstClip =
        decodeOptions && !decodeOptions->clipTimestamps.empty() ? decodeOptions->clipTimestamps.front() : 0.0;
    timings_.inputAudioSeconds = static_cast<double>(sampleCount) / sampleRate - firstClip;

    std::vector<int64_t> allTokens;
    std::vector<TranscriptionSegment> allSegments;
    std::optional<std::string> detectedLanguage;

    const double initStart = currentAbsoluteTime();
    std::shared_ptr<DecodingInputsType> decoderInputs =
        textDecoder_->prepareDecoderInputs({tokenizer_->specialTokens().startOfTranscriptToken});
    timings_.decodingInit = secondsSince(initStart);
    Logging::debug("Decoder init time: " + platform::description(timings_.decodingInit));
    if (options.usePrefillPrompt) decoderInputs = textDecoder_->prefillDecoderInputs(decoderInputs, options);
    Logging::debug("Prefill prompt: " + promptText(decoderInputs->initialPrompt(), *tokenizer_));

    // Clips are kept inside the audio, so that no window reads past it.
    std::vector<SeekClip> seekClips = options.prepareSeekClips(sampleCount);
    std::string clipsText = "[";
    int64_t totalUnits = 0;
    for (std::size_t i = 0; i < seekClips.size(); ++i) {
        clipsText += (i > 0 ? ", (" : "(") + std::to_string(seekClips[i].start) + ", " +
                     std::to_string(seekClips[i].end) + ")";
        seekClips[i].start = std::clamp<int64_t>(seekClips[i].start, arrayStart, sampleCount);
        seekClips[i].end = std::clamp<int64_t>(seekClips[i].end, seekClips[i].start, sampleCount);
        totalUnits += seekClips[i].end - seekClips[i].start;
    }
    Logging::debug("Decoding seek clips: " + clipsText + "]");
    progress_->setTotalUnitCount(totalUnits);

    const SpecialTokens& special = tokenizer_->specialTokens();
    const int64_t resetContext = decodeOptions ? decodeOptions->sampleLength : defaultTokenContext;
    const double loopStart = currentAbsoluteTime();
    for (const SeekClip& clip : seekClips) {
        const int64_t previousProgress = progress_->completedUnitCount();
        const int64_t windowPadding = std::max<int64_t>(samplesOf(options.windowClipTime), 0);
        const int64_t windowSamples = windowSamplesOrDefault(*featureExtractor_);
        const int64_t clipLimit = clip.end - windowPadding;
        int64_t seek = clip.start;
        while (seek < clipLimit) {
            const int64_t segmentSize = std::min({windowSamples, sampleCount - seek, clip.end - seek});
            Logging::debug("Decoding Seek: " + std::to_string(seek) + " (" +
                           platform::description(static_cast<float>(seek) / sampleRate) + "s)");
            Logging::debug("Decoding Window Size: " + std::to_string(segmentSize) + " (" +
                           platform::description(static_cast<float>(seek + segmentSize) / sampleRate -
                                                 static_cast<float>(seek) / sampleRate) +
                           "s)");

            const double audioStart = currentAbsoluteTime();
            const auto first = audioArray.begin() + (seek - arrayStart);
            const std::vector<float> window(first, first + segmentSize);
            const std::shared_ptr<AudioProcessorOutputType> samples = audioProcessor_->padOrTrim(window, 0, windowSamples);
            if (!samples) throw WhisperError::transcriptionFailed("Audio samples are nil");
            windowPreprocess(*samples, seek, segmentSize);
            timings_.audioProcessing += secondsSince(audioStart);
            timings_.totalAudioProcessingRuns += 1;
            platform::checkCancellation();

            const auto mel = timedStage(timings_, &TranscriptionTimings::logmels, &TranscriptionTimings::totalLogmelRuns,
                                        [&] { return featureExtractor_->logMelSpectrogram(*samples); });
            if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
            platform::checkCancellation();
            const auto encoded = timedStage(timings_, &TranscriptionTimings::encoding,
                                            &TranscriptionTimings::totalEncodingRuns,
                                            [&] { return audioEncoder_->encodeFeatures(*mel); });
            if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

            Logging::info("Decoding " + platform::description(static_cast<float>(seek) / sampleRate) + "s - " +
                          platform::description(static_cast<float>(seek + segmentSize) / sampleRate) + "s");

            const auto windowId = static_cast<int64_t>(timings_.totalDecodingWindows - timings_.totalDecodingFallbacks);
            TranscriptionCallback windowCallback;
            if (callback) {
                windowCallback = [callback, windowId, fallbacks = fallbackCount_](const TranscriptionProgress& report) {
                    TranscriptionProgress stamped = report;
                    stamped.windowId = windowId;
                    stamped.timings.totalDecodingFallbacks = fallbacks->load();
                    return callback(stamped);
                };
            }
            platform::checkCancellation();

            const DecodingResult result =
                decodeWithFallback(*encoded, options, decoderInputs, detectedLanguage, windowCallback);

            const double windowStart = currentAbsoluteTime();
            auto [seekerSeek, segments] = segmentSeeker_->findSeekPointAndSegments(
                result, options, static_cast<int64_t>(allSegments.size()), seek, segmentSize, sampleRate,
                special.timeTokenBegin, special.specialTokenBegin, *tokenizer_);
            int64_t nextSeek = std::max(seekerSeek, seek);

            if (options.wordTimestamps && result.cache && result.cache->alignmentWeights) {
                const double wordStart = currentAbsoluteTime();
                segments = segmentSeeker_->addWordTimestamps(
                    segments.value_or(std::vector<TranscriptionSegment>{}), *result.cache->alignmentWeights,
                    *tokenizer_, seek, segmentSize, std::string(Constants::defaultPrependPunctuations),
                    std::string(Constants::defaultAppendPunctuations),
                    static_cast<float>(static_cast<double>(seek) / sampleRate), options, timings_);
                timings_.decodingWordTimestamps += secondsSince(wordStart);
                timings_.totalTimestampAlignmentRuns += 1;
                if (segments) {
                    std::erase_if(*segments, [](const TranscriptionSegment& s) { return !(s.start < s.end); });
                    if (!segments->empty()) nextSeek = std::max(nextSeek, samplesOf(segments->back().end));
                }
                if (options.verbose && segments) {
                    Logging::debug("Word timestamps:");
                    for (const TranscriptionSegment& segment : *segments) {
                        for (const WordTiming& word : segment.words.value_or(std::vector<WordTiming>{})) {
                            char times[96];
                            std::snprintf(times, sizeof times, "[%.3g -> %.3g]", word.start, word.end);
                            Logging::debug(std::string(times) + " prob: " + platform::description(word.probability) +
                                           ", word: " + word.word);
                        }
                    }
                }
            }

            if (options.maxWindowSeek && *options.maxWindowSeek > 0) {
                nextSeek = std::min(nextSeek, seek + *options.maxWindowSeek);
            }
            // A window whose seek would not move is passed over whole, so
            // the loop always ends.
            if (nextSeek <= seek) nextSeek = seek + segmentSize;

            // Every window leaves the inputs fresh for the next, silent ones
            // too: the next window's prompt starts from position 0.
            decoderInputs->reset(resetContext);
            if (!segments) {
                seek = nextSeek;
                continue;
            }

            std::vector<TranscriptionSegment> kept = windowPostProcess(seek, segmentSize, std::move(*segments));
            if (options.verbose) {
                Logging::debug("Segments for window:");
                for (const TranscriptionSegment& segment : kept) {
                    Logging::debug("[" + twoDecimals(segment.start) + " --> " + twoDecimals(segment.end) + "] " +
                                   segment.text);
                }
            }
            if (segmentDiscoveryCallback_) segmentDiscoveryCallback_(kept);
            for (const TranscriptionSegment& segment : kept) {
                allTokens.insert(allTokens.end(), segment.tokens.begin(), segment.tokens.end());
            }
            allSegments.insert(allSegments.end(), kept.begin(), kept.end());
            timings_.decodingWindowing += secondsSince(windowStart);
            timings_.totalDecodingWindows += 1;
            progress_->setCompletedUnitCount(previousProgress + std::min(nextSeek, clip.end) - clip.start);
            seek = nextSeek;
        }
    }

    progress_->setCompletedUnitCount(progress_->totalUnitCount());
    const double end = currentAbsoluteTime();
    timings_.decodingLoop = end - loopStart;
    timings_.fullPipeline = end - timings_.pipelineStart;
    return finalizeTranscriptionResult(allTokens, std::move(allSegments), detectedLanguage, timings_);
}

std::shared_ptr<TranscriptionResult> TranscribeTask::finalizeTranscriptionResult(
    const std::vector<int64_t>& tokens, std::vector<TranscriptionSegment> segments,
    const std::optional<std::string>& language, const TranscriptionTimings& timings) {
    const int64_t specialTokenBegin = tokenizer_->specialTokens().specialTokenBegin;
    std::vector<int64_t> textTokens;
    std::copy_if(tokens.begin(), tokens.end(), std::back_inserter(textTokens),
                 [&](int64_t token) { return token < specialTokenBegin; });
    const std::string text(platform::text::trimmingWhitespaces(tokenizer_->decode(textTokens)));
    return std::make_shared<TranscriptionResult>(text, std::move(segments), language.value_or("en"), timings,
                                                 std::nullopt);
}

}  // namespace sonoscribe
