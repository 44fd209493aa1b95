#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "speech/audio/Result.h"
#include "speech/model/DecodingOptions.h"
#include "speech/model/DecodingResult.h"
#include "speech/model/TranscriptionResult.h"

namespace sonoscribe {

using TranscriptionResults = std::vector<std::shared_ptr<TranscriptionResult>>;

// Cuts long audio into pieces of at most one window.
class AudioChunking {
public:
    virtual ~AudioChunking() = default;

    virtual std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int64_t maxChunkLength,
                                             const std::optional<DecodingOptions>& decodeOptions) const = 0;

    // Moves each chunk's results onto the time line of the whole audio; a
    // failed chunk is logged and left out. Throws WhisperError when there
    // are fewer chunks than results.
    TranscriptionResults updateSeekOffsetsForResults(const std::vector<Result<TranscriptionResults>>& chunkedResults,
                                                     const std::vector<AudioChunk>& audioChunks) const;
};

}  // namespace sonoscribe
