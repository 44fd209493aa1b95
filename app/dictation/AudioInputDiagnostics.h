#pragma once

#include <string>

namespace dictaro {

// What a fresh capture engine sees of the default input, for the log:
// "inputFormat: sampleRate=48000.0 channels=2 commonFormat=1; outputFormat:
// sampleRate=48000.0 channels=2". Every capture here is 32-bit float, format 1.
std::string describeAudioInput();

}  // namespace dictaro
