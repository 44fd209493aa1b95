#pragma once

#include <cstdint>
#include <memory>

#include "speech/audio/AudioChunking.h"
#include "speech/audio/VoiceActivityDetector.h"

namespace sonoscribe {

// Cuts each clip in the middle of the longest silence in the second half of
// every window. A silent rest shorter than the window padding after a cut is
// left out; every other sample of a clip lands in exactly one chunk.
class VADAudioChunker : public AudioChunking {
public:
    // A null detector becomes the standard EnergyVAD.
    VADAudioChunker(int64_t windowPadding = 16000, std::shared_ptr<VoiceActivityDetector> vad = nullptr);

    int64_t windowPadding() const noexcept { return windowPadding_; }
    const std::shared_ptr<VoiceActivityDetector>& vad() const noexcept { return vad_; }

    std::vector<AudioChunk> chunkAll(const std::vector<float>& audioArray, int64_t maxChunkLength,
                                     const std::optional<DecodingOptions>& decodeOptions) const override;

private:
    int64_t windowPadding_;
    std::shared_ptr<VoiceActivityDetector> vad_;
};

}  // namespace sonoscribe
