#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ScriptedDecoder.h"
#include "tests/support/SpeechModelTrio.h"

namespace testsupport {

// Full-length windows (30 s of samples, 3000 mel frames, 1500 encoder
// frames) through the narrowest layers that still have the real feature
// names and layouts, so that a window runs in milliseconds.
TrioDimensions narrowWindowDimensions();

// One model variant folder as the engine loads it: "MelSpectrogram",
// "AudioEncoder" and "TextDecoder" bundles (random mel and encoder, the given
// scripted decoder, whose dims must match) and the Whisper tokenizer of the
// decoder's vocabulary (51865: multilingual, else English). Returns the folder.
std::filesystem::path writeScriptedModelFolder(const std::filesystem::path& folder, const ScriptedDecoder& decoder);

// A hub repository folder: one such variant folder per name, and a
// "config.json" at the root whose single device entry (identifier "") makes
// `defaultModel` every machine's default.
void writeModelRepository(const std::filesystem::path& repository, const std::vector<std::string>& variantFolders,
                          const ScriptedDecoder& decoder, const std::string& defaultModel);

}  // namespace testsupport
