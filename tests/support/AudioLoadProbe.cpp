// Loads one audio file both ways the engine does, as a process of its own
// so that the caller can limit its address space and measure its memory.
// Prints one line per loader: "<loader> <samples>" on success,
// "<loader> failed: <message>" for a load error, "<loader> threw: <text>"
// for anything else; then "peak <kB>", its own peak resident memory (a
// parent's rusage would count the copy of the parent that the child was
// before it started this program).
#include <cstdio>
#include <exception>
#include <fstream>
#include <string>

#include "speech/audio/AudioProcessor.h"
#include "speech/model/WhisperError.h"

namespace {

using sonoscribe::AudioProcessor;

template <class Load>
void probe(const char* loader, Load&& load) {
    try {
        std::printf("%s %zu\n", loader, load());
    } catch (const sonoscribe::WhisperError& error) {
        const bool loadFailure = error.kind() == sonoscribe::WhisperError::Kind::loadAudioFailed;
        std::printf("%s %s: %s\n", loader, loadFailure ? "failed" : "threw", error.what());
    } catch (const std::exception& error) {
        std::printf("%s threw: %s\n", loader, error.what());
    }
    std::fflush(stdout);
}

long peakKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <audio file>\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    const auto mode = AudioProcessor::ChannelMode::sumChannels(std::nullopt);
    probe("array", [&] { return AudioProcessor::loadAudioAsFloatArray(path, mode).size(); });
    probe("buffer", [&] { return std::size_t{AudioProcessor::loadAudio(path, mode)->frameLength()}; });
    std::printf("peak %ld\n", peakKilobytes());
    return 0;
}
