#include "speech/audio/VADAudioChunker.h"

#include <algorithm>
#include <cstdio>

#include "mlcore/foundation/Logging.h"
#include "speech/audio/EnergyVAD.h"
#include "speech/model/WhisperError.h"

namespace sonoscribe {

namespace {

std::string seconds(int64_t sample) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(sample) / 16000.0);
    return text;
}

WhisperError outsideBuffer() { return WhisperError::audioProcessingFailed("startIndex is outside the buffer size"); }

}  // namespace

VADAudioChunker::VADAudioChunker(int64_t windowPadding, std::shared_ptr<VoiceActivityDetector> vad)
    : windowPadding_(windowPadding), vad_(vad ? std::move(vad) : std::make_shared<EnergyVAD>(16000, 0.1f, 0.0f, 0.02f)) {}

std::vector<AudioChunk> VADAudioChunker::chunkAll(const std::vector<float>& audioArray, int64_t maxChunkLength,
                                                  const std::optional<DecodingOptions>& decodeOptions) const {
    const DecodingOptions options = decodeOptions.value_or(DecodingOptions());
    const auto count = static_cast<int64_t>(audioArray.size());
    std::vector<AudioChunk> chunks;
    auto samples = [&](int64_t from, int64_t to) {
        return std::vector<float>(audioArray.begin() + from, audioArray.begin() + to);
    };
    auto hasVoice = [&](const std::vector<float>& rest) {
        const std::vector<bool> flags = vad_->voiceActivity(rest);
        return std::find(flags.begin(), flags.end(), true) != flags.end();
    };
    for (const SeekClip& clip : options.prepareSeekClips(count)) {
        int64_t start = clip.start;
        // Clip times past the audio end at the audio.
        const int64_t end = std::min(clip.end, count);
        // A clip shorter than the padding is still all the caller asked for:
        // it becomes one chunk rather than nothing.
        if (start >= end) continue;
        if (start < 0) throw outsideBuffer();
        const int64_t limit = end - windowPadding_;
        while (true) {
            int64_t cut = end;
            if (maxChunkLength <= 0 || start + maxChunkLength < end) {
                const int64_t windowEnd = std::min(start + std::max<int64_t>(maxChunkLength, 0), count);
                const int64_t mid = start + (windowEnd - start) / 2;
                const std::vector<bool> flags = vad_->voiceActivity(samples(mid, windowEnd));
                const std::optional<IndexRange> silence = vad_->findLongestSilence(flags);
                cut = silence ? mid + (silence->startIndex + (silence->endIndex - silence->startIndex) / 2) *
                                          vad_->frameLengthSamples()
                              : windowEnd;
                cut = std::min(cut, end);
            }
            if (cut <= start) break;
            celvan::Logging::debug("Found chunk from " + seconds(start) + " to " + seconds(cut));
            chunks.push_back(AudioChunk{start, samples(start, cut)});
            if (cut >= end) break;
            // A rest shorter than the padding is not worth a window of its
            // own when it is silent; one that holds voice is never dropped,
            // and joining it to this chunk could make the chunk too long.
            if (cut >= limit && !hasVoice(samples(cut, end))) break;
            start = cut;
        }
    }
    return chunks;
}

TranscriptionResults AudioChunking::updateSeekOffsetsForResults(
    const std::vector<Result<TranscriptionResults>>& chunkedResults, const std::vector<AudioChunk>& audioChunks) const {
    if (audioChunks.size() < chunkedResults.size()) {
        throw WhisperError::transcriptionFailed("There are fewer audio chunks than chunk results");
    }
    TranscriptionResults updated;
    for (std::size_t i = 0; i < chunkedResults.size(); ++i) {
        const Result<TranscriptionResults>& chunk = chunkedResults[i];
        if (!chunk.isSuccess()) {
            std::string reason;
            try {
                std::rethrow_exception(chunk.error());
            } catch (const std::exception& error) {
                reason = error.what();
            } catch (...) {
                reason = "unknown error";
            }
            celvan::Logging::debug("Error transcribing chunk " + std::to_string(i) + ": " + reason);
            continue;
        }
        const float seekTime = static_cast<float>(audioChunks[i].seekOffsetIndex) / 16000.0f;
        const auto seekSamples = static_cast<int64_t>(seekTime * 16000.0f);
        for (const std::shared_ptr<TranscriptionResult>& result : chunk.get()) {
            std::vector<TranscriptionSegment> segments = result->segments();
            for (TranscriptionSegment& segment : segments) {
                segment.seek += seekSamples;
                segment.start += seekTime;
                segment.end += seekTime;
                if (segment.words) {
                    for (WordTiming& word : *segment.words) {
                        word.start += seekTime;
                        word.end += seekTime;
                    }
                }
            }
            result->setSeekTime(seekTime);
            result->setSegments(std::move(segments));
            updated.push_back(result);
        }
    }
    return updated;
}

}  // namespace sonoscribe
