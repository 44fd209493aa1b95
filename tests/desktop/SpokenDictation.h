#pragma once

#include <filesystem>
#include <string>

#include "speech/engine/Sonoscribe.h"
#include "tests/support/FakeProviderServer.h"

// What a dictation from end to end is made of: the speech model on a test
// hub, the words said into the pipe microphone, and a formatting provider
// that rewrites them.
namespace desktoptest {

// The model the application asks for, from the repository the engine
// downloads from when no other is named.
inline constexpr const char* speechModelRepository = sonoscribe::Sonoscribe::defaultModelRepository;
inline constexpr const char* speechModelName = "openai_whisper-base.en";

// The live transcript whatever is said: every window of the served model
// reads " Hello world.".
inline constexpr const char* rawTranscript = "Hello world.";
// What the provider makes of it.
inline constexpr const char* formattedTranscript = "Hello, world!";

// Lays the speech model out under a hub root as the engine finds it.
void serveSpeechModel(const std::filesystem::path& hubRoot);

// Speech for the pipe microphone: a little silence, then several seconds of
// spoken words.
const std::string& dictatedSpeech();

// An Ollama chat answer that streams the formatted transcript in pieces.
testsupport::ScriptedAnswer formattedAnswer();
// One that breaks off after its first piece.
testsupport::ScriptedAnswer cutShortAnswer();

// Clears the hub and proxy settings of the machine and points the hub client
// at `endpoint`, with `home` as the home folder where the model is cached.
void useTestHub(const std::string& endpoint, const std::filesystem::path& home);

}  // namespace desktoptest
