#include "app/dictation/AudioInputDiagnostics.h"

#include "platform/audio/AVAudioEngine.h"
#include "platform/foundation/NumberFormatting.h"

namespace dictaro {

std::string describeAudioInput() {
    platform::audio::AVAudioEngine engine;
    const platform::audio::AVAudioFormat input = engine.inputNode().inputFormat(0);
    const platform::audio::AVAudioFormat output = engine.inputNode().outputFormat(0);
    return "inputFormat: sampleRate=" + platform::description(input.sampleRate) +
           " channels=" + std::to_string(input.channelCount) + " commonFormat=1; outputFormat: sampleRate=" +
           platform::description(output.sampleRate) + " channels=" + std::to_string(output.channelCount);
}

}  // namespace dictaro
