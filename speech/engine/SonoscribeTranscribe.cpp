#include <algorithm>
#include <optional>

#include "mlcore/foundation/ConcurrencyUtilities.h"
#include "mlcore/foundation/FoundationExtensions.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/TaskGroup.h"
#include "speech/audio/AudioProcessor.h"
#include "speech/audio/EnergyVAD.h"
#include "speech/audio/VADAudioChunker.h"
#include "speech/decoding/AbsoluteTime.h"
#include "speech/engine/Sonoscribe.h"
#include "speech/model/Signposts.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {
namespace {

using IndexedResult = std::pair<std::size_t, Result<TranscriptionResults>>;

Result<TranscriptionResults> failure(const std::string& message) {
    return Result<TranscriptionResults>::failure(std::make_exception_ptr(WhisperError::transcriptionFailed(message)));
}

// A cancelled transcription fails every chunk with the cancellation, and
// it is the whole transcription that was cancelled.
void rethrowCancellation(const std::vector<Result<TranscriptionResults>>& results) {
    for (const Result<TranscriptionResults>& result : results) {
        if (result.isSuccess()) continue;
        try {
            std::rethrow_exception(result.error());
        } catch (const platform::CancellationError&) {
            throw;
        } catch (...) {
        }
    }
}

}  // namespace

std::vector<std::optional<TranscriptionResults>> Sonoscribe::transcribe(const std::vector<std::string>& audioPaths,
                                                                         const std::optional<DecodingOptions>& decodeOptions,
                                                                         const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioPaths, decodeOptions, callback));
}

std::vector<Result<TranscriptionResults>> Sonoscribe::transcribeWithResults(
    const std::vector<std::string>& audioPaths, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
    const TranscriptionStateCallback stateCallback = transcriptionStateCallback();
    if (stateCallback) stateCallback(TranscriptionState::convertingAudio);
    const double start = currentAbsoluteTime();
    const auto loaded = AudioProcessor::loadAudio(audioPaths, audioInputConfig().channelMode);
    std::vector<std::vector<float>> arrays;
    for (const auto& result : loaded) {
        if (result.isSuccess()) arrays.push_back(result.get());
    }
    const double seconds = currentAbsoluteTime() - start;
    modifyCurrentTimings([&](TranscriptionTimings& timings) { timings.audioLoading = seconds; });
    Logging::debug("Total Audio Loading and Converting Time: " + platform::description(seconds));
    if (stateCallback) stateCallback(TranscriptionState::transcribing);

    const std::vector<Result<TranscriptionResults>> transcribed = transcribeWithResults(arrays, decodeOptions, callback);
    std::vector<Result<TranscriptionResults>> results;
    std::size_t next = 0;
    for (const auto& load : loaded) {
        if (!load.isSuccess()) {
            results.push_back(Result<TranscriptionResults>::failure(load.error()));
        } else if (next < transcribed.size()) {
            results.push_back(transcribed[next++]);
        } else {
            results.push_back(failure("The number of audio arrays and decoding options must be balanced."));
        }
    }
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return results;
}

std::vector<std::optional<TranscriptionResults>> Sonoscribe::transcribe(
    const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
    return toOptionalArrays(transcribeWithResults(audioArrays, decodeOptions, callback));
}

std::vector<Result<TranscriptionResults>> Sonoscribe::transcribeWithResults(
    const std::vector<std::vector<float>>& audioArrays, const std::optional<DecodingOptions>& decodeOptions,
    const TranscriptionCallback& callback) {
    return transcribeWithOptions(audioArrays,
                                 std::vector<std::optional<DecodingOptions>>(audioArrays.size(), decodeOptions),
                                 std::nullopt, callback);
}

std::vector<Result<TranscriptionResults>> Sonoscribe::transcribeWithOptions(
    const std::vector<std::vector<float>>& audioArrays,
    const std::vector<std::optional<DecodingOptions>>& decodeOptionsArray,
    const std::optional<std::vector<int64_t>>& seekOffsets, const TranscriptionCallback& callback) {
    if (decodeOptionsArray.size() != audioArrays.size()) {
        return {failure("The number of audio arrays and decoding options must be balanced.")};
    }
    if (seekOffsets && seekOffsets->size() != audioArrays.size()) {
        return {failure("The number of audio arrays and seek offset indexes must be balanced.")};
    }

    // The children would otherwise each find the models unloaded and read
    // the stages while one of them loads: they share one load made first.
    if (!audioArrays.empty() && modelState() != celvan::ModelState::loaded) {
        try {
            loadModelsIfNeeded();
        } catch (...) {
            return std::vector<Result<TranscriptionResults>>(
                audioArrays.size(), Result<TranscriptionResults>::failure(std::current_exception()));
        }
    }

    // A negative worker count is taken as no limit on the batch, like 0.
    int64_t batchSize = 0;
    for (const auto& options : decodeOptionsArray) {
        batchSize = std::max(batchSize, options ? options->concurrentWorkerCount : 0);
    }
    std::vector<std::size_t> indices(audioArrays.size());
    for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
    const std::vector<std::vector<std::size_t>> batches =
        batchSize == 0 || audioArrays.empty() ? std::vector<std::vector<std::size_t>>{indices}
                                               : celvan::batched(indices, batchSize);
    // However many workers the options ask for, no more pipelines run at
    // once than the machine has processors.
    const auto running = static_cast<std::size_t>(std::max(1, celvan::ConcurrencyUtilities::activeProcessorCount()));

    const std::weak_ptr<Sonoscribe> weakSelf = weak_from_this();
    std::vector<Result<TranscriptionResults>> results;
    for (const std::vector<std::size_t>& batch : batches) {
        std::vector<IndexedResult> outputs;
        platform::TaskGroup<IndexedResult> group;
        std::size_t started = 0;
        const auto startChild = [&](std::size_t position) {
            const std::size_t n = batch[position];
            group.addTask([weakSelf, position, n, &audioArrays, &decodeOptionsArray, &seekOffsets, callback] {
                const std::shared_ptr<Sonoscribe> self = weakSelf.lock();
                if (!self) return IndexedResult{position, failure("Sonoscribe instance was deallocated")};
                TranscriptionCallback wrapped;
                if (callback) {
                    wrapped = [callback, n](const TranscriptionProgress& progress) {
                        TranscriptionProgress copy = progress;
                        copy.windowId = static_cast<int64_t>(n);
                        return callback(copy);
                    };
                }
                SegmentDiscoveryCallback segments = self->segmentDiscoveryCallback();
                if (seekOffsets) {
                    segments = [discovered = segments, offset = (*seekOffsets)[n]](
                                   const std::vector<TranscriptionSegment>& found) {
                        if (!discovered) return;
                        std::vector<TranscriptionSegment> shifted = found;
                        for (TranscriptionSegment& segment : shifted) segment.seek += offset;
                        discovered(shifted);
                    };
                }
                return IndexedResult{position, catchingResult([&] {
                                         return self->transcribe(audioArrays[n], decodeOptionsArray[n], wrapped,
                                                                 segments);
                                     })};
            });
        };
        while (started < batch.size() && started < running) startChild(started++);
        while (std::optional<IndexedResult> output = group.next()) {
            outputs.push_back(std::move(*output));
            if (started < batch.size()) startChild(started++);
        }
        std::sort(outputs.begin(), outputs.end(),
                  [](const IndexedResult& a, const IndexedResult& b) { return a.first < b.first; });
        for (IndexedResult& output : outputs) results.push_back(std::move(output.second));
    }
    return results;
}

TranscriptionResults Sonoscribe::transcribe(const std::string& audioPath,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback) {
    const TranscriptionStateCallback stateCallback = transcriptionStateCallback();
    if (stateCallback) stateCallback(TranscriptionState::convertingAudio);
    const double start = currentAbsoluteTime();
    std::vector<float> samples;
    try {
        samples = AudioProcessor::loadAudioAsFloatArray(audioPath, audioInputConfig().channelMode, 0.0, std::nullopt);
    } catch (...) {
        const double seconds = currentAbsoluteTime() - start;
        modifyCurrentTimings([&](TranscriptionTimings& timings) { timings.audioLoading = seconds; });
        Logging::debug("Audio loading and convert time: " + platform::description(seconds));
        Logging::logCurrentMemoryUsage("Audio Loading and Convert");
        throw;
    }
    const double seconds = currentAbsoluteTime() - start;
    modifyCurrentTimings([&](TranscriptionTimings& timings) { timings.audioLoading = seconds; });
    Logging::debug("Audio loading and convert time: " + platform::description(seconds));
    Logging::logCurrentMemoryUsage("Audio Loading and Convert");

    if (stateCallback) stateCallback(TranscriptionState::transcribing);
    TranscriptionResults results;
    try {
        results = transcribe(samples, decodeOptions, callback, SegmentDiscoveryCallback());
    } catch (...) {
        if (stateCallback) stateCallback(TranscriptionState::finished);
        throw;
    }
    if (stateCallback) stateCallback(TranscriptionState::finished);
    return results;
}

TranscriptionResults Sonoscribe::transcribe(const std::vector<float>& audioArray,
                                            const std::optional<DecodingOptions>& decodeOptions,
                                            const TranscriptionCallback& callback,
                                            const SegmentDiscoveryCallback& segmentCallback) {
    const int64_t windowSamples = melWindowSamples();
    TranscriptionResults results;
    if (decodeOptions && decodeOptions->chunkingStrategy == ChunkingStrategy::vad &&
        static_cast<int64_t>(audioArray.size()) > windowSamples) {
        // Failed chunks are dropped, so a load that fails every chunk alike
        // is made once here and thrown.
        if (modelState() != celvan::ModelState::loaded) loadModelsIfNeeded();
        std::shared_ptr<VoiceActivityDetector> detector = voiceActivityDetector();
        if (!detector) detector = std::make_shared<EnergyVAD>(16000, 0.1f, 0.0f, 0.02f);
        const VADAudioChunker chunker(16000, detector);
        const std::vector<AudioChunk> chunks = chunker.chunkAll(audioArray, windowSamples, decodeOptions);
        Logging::debug("Found " + std::to_string(chunks.size()) + " VAD chunks");
        {
            const std::shared_ptr<platform::Progress> engineProgress = progress();
            if (engineProgress->totalUnitCount() < static_cast<int64_t>(chunks.size())) {
                engineProgress->setTotalUnitCount(static_cast<int64_t>(chunks.size()));
            }
        }
        DecodingOptions chunkOptions = *decodeOptions;
        chunkOptions.clipTimestamps.clear();
        std::vector<std::vector<float>> arrays;
        std::vector<int64_t> offsets;
        for (const AudioChunk& chunk : chunks) {
            arrays.push_back(chunk.audioSamples);
            offsets.push_back(chunk.seekOffsetIndex);
        }
        const auto chunked = transcribeWithOptions(
            arrays, std::vector<std::optional<DecodingOptions>>(chunks.size(), chunkOptions), offsets, callback);
        rethrowCancellation(chunked);
        results = chunker.updateSeekOffsetsForResults(chunked, chunks);
    } else {
        const SegmentDiscoveryCallback segments = segmentCallback ? segmentCallback : segmentDiscoveryCallback();
        results = runTranscribeTask(audioArray, decodeOptions, callback, segments);
    }
    if (decodeOptions && decodeOptions->verbose) {
        Logging::info("Total Transcription Results: " + std::to_string(results.size()));
        for (std::size_t i = 0; i < results.size(); ++i) {
            Logging::debug("[Result " + std::to_string(i) + "]");
            results[i]->logSegments();
        }
    }
    return results;
}

std::shared_ptr<TranscribeTask> Sonoscribe::setupTranscribeTask(
    const TranscriptionTimings& currentTimings, std::shared_ptr<platform::Progress> progress,
    std::shared_ptr<AudioProcessing> audioProcessor, std::shared_ptr<AudioEncoding> audioEncoder,
    std::shared_ptr<FeatureExtracting> featureExtractor, std::shared_ptr<SegmentSeeking> segmentSeeker,
    std::shared_ptr<TextDecoding> textDecoder, std::shared_ptr<const WhisperTokenizer> tokenizer) {
    return std::make_shared<TranscribeTask>(currentTimings, std::move(progress), std::move(audioProcessor),
                                            std::move(audioEncoder), std::move(featureExtractor),
                                            std::move(segmentSeeker), std::move(textDecoder), std::move(tokenizer));
}

TranscriptionResults Sonoscribe::runTranscribeTask(const std::vector<float>& audioArray,
                                                   const std::optional<DecodingOptions>& decodeOptions,
                                                   const TranscriptionCallback& callback,
                                                   const SegmentDiscoveryCallback& segmentCallback) {
    if (modelState() != celvan::ModelState::loaded) loadModelsIfNeeded();
    const std::shared_ptr<const WhisperTokenizer> loadedTokenizer = tokenizer();
    if (!loadedTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");
    try {
        platform::checkCancellation();
        const std::shared_ptr<platform::Progress> child = platform::Progress::create(0);
        const std::shared_ptr<platform::Progress> engineProgress = progress();
        if (engineProgress->totalUnitCount() < 1) engineProgress->setTotalUnitCount(1);
        engineProgress->addChild(child, 1);

        const std::shared_ptr<TranscribeTask> task =
            setupTranscribeTask(currentTimings(), child, audioProcessor(), audioEncoder(), featureExtractor(),
                                segmentSeeker(), textDecoder(), loadedTokenizer);
        task->setSegmentDiscoveryCallback(segmentCallback);
        const std::shared_ptr<TranscriptionResult> result = task->run(audioArray, decodeOptions, callback);
        if (decodeOptions && decodeOptions->verbose) result->logTimings();
        if (engineProgress->isFinished()) {
            std::lock_guard lock(stateMutex_);
            if (progress_ == engineProgress) progress_ = platform::Progress::create(0);
        }
        return {result};
    } catch (const platform::CancellationError&) {
        setProgress(platform::Progress::create(0));
        throw;
    }
}

DetectedLanguage Sonoscribe::detectLanguage(const std::string& audioPath) {
    const auto buffer = AudioProcessor::loadAudio(audioPath, AudioInputConfig::ChannelMode::sumChannels(std::nullopt),
                                                  0.0, 30.0, std::nullopt);
    return detectLangauge(AudioProcessor::convertBufferToArray(*buffer, 1024));
}

DetectedLanguage Sonoscribe::detectLangauge(const std::vector<float>& audioArray) {
    if (modelState() != celvan::ModelState::loaded) loadModelsIfNeeded();
    const std::shared_ptr<TextDecoding> decoder = textDecoder();
    if (!decoder->isModelMultilingual()) {
        throw WhisperError::decodingFailed("Language detection not supported for this model");
    }
    const std::shared_ptr<const WhisperTokenizer> loadedTokenizer = tokenizer();
    if (!loadedTokenizer) throw WhisperError::tokenizerUnavailable("Tokenizer is unavailable");

    DecodingOptions options;
    options.verbose = Logging::isLoggingEnabled();
    const SpecialTokens& special = loadedTokenizer->specialTokens();
    const std::shared_ptr<DecodingInputsType> inputs = decoder->prepareDecoderInputs({special.startOfTranscriptToken});

    const auto samples = audioProcessor()->padOrTrim(audioArray, 0, windowSamplesOrDefault(*featureExtractor()));
    if (!samples) throw WhisperError::transcriptionFailed("Audio samples are nil");
    const auto mel = featureExtractor()->logMelSpectrogram(*samples);
    if (!mel) throw WhisperError::transcriptionFailed("Mel output is nil");
    const auto encoded = audioEncoder()->encodeFeatures(*mel);
    if (!encoded) throw WhisperError::transcriptionFailed("Encoder output is nil");

    GreedyTokenSampler sampler(platform::Float16(0), special.endToken, options);
    DecodingResult result;
    try {
        result = decoder->detectLanguage(*encoded, *inputs, sampler, options, platform::Float16(0));
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const std::exception&) {
        throw WhisperError::decodingFailed("Language detection failed");
    }
    return {result.language, result.languageProbs};
}

}  // namespace sonoscribe
