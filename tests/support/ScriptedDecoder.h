#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "tests/support/SpeechModelTrio.h"

namespace testsupport {

// A text decoder whose every step is known in advance: the step at cache
// position p scores script[p + 1] highest (by its margin over the 0 of every
// other token), so a decoding loop run on it must reproduce the script. It
// has the inputs and outputs of a real decoder; its cache updates carry the
// position (keys p, values -p) so that tests can see where each step's
// entries landed.
struct ScriptedDecoder {
    // Model sizes: vocabulary, cacheSlots (S), cacheWidth() (E), width (D)
    // and encoderFrames (W) are used.
    TrioDimensions dims = TrioDimensions::baseEn();
    // script[0] is the first token fed; positions past its end score
    // endToken.
    std::vector<int64_t> script;
    int64_t endToken = 50256;
    // Score of the scripted token per position; 20 where not given.
    std::vector<float> margins;
    // With a value, an "alignment_heads_weights" output whose row for the
    // token at position r peaks at frame (r - alignmentStart) *
    // framesPerToken (no peak before alignmentStart).
    std::optional<int64_t> alignmentFramesPerToken;
    int64_t alignmentStart = 0;

    // Ways a broken export differs from a real one.
    enum class Malformation { none, missingValueUpdates, float32Logits, keyCacheWithoutLength };
    Malformation malformation = Malformation::none;

    std::filesystem::path write(const std::filesystem::path& bundle) const;
};

}  // namespace testsupport
