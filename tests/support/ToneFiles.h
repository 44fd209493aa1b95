#pragma once

#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

namespace testsupport {

// One channel of a generated file: a sine at this frequency and amplitude.
struct Tone {
    double frequency = 440;
    double amplitude = 0.5;
};

// Writes `seconds` of audio with the ffmpeg program: channel c holds
// tones[c], at the given rate, through the encoder options given (for
// example "-c:a libopus"). Returns the program's exit status.
inline int writeToneFile(const std::filesystem::path& path, const std::vector<Tone>& tones, int sampleRate,
                         double seconds, const std::string& encoderOptions) {
    std::string expressions;
    for (const Tone& tone : tones) {
        if (!expressions.empty()) expressions += "|";
        expressions += std::to_string(tone.amplitude) + "*sin(2*PI*" + std::to_string(tone.frequency) + "*t)";
    }
    const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i \"aevalsrc='" + expressions +
                                "':s=" + std::to_string(sampleRate) + ":d=" + std::to_string(seconds) + "\" " +
                                encoderOptions + " '" + path.string() + "'";
    return std::system(command.c_str());
}

// The amplitude of the sine at `frequency` in the samples (a single DFT bin,
// exact for whole periods and close for many periods).
inline double toneAmplitude(const std::vector<float>& samples, double frequency, double sampleRate) {
    std::complex<double> sum;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        sum += static_cast<double>(samples[i]) *
               std::polar(1.0, -2 * std::numbers::pi * frequency * static_cast<double>(i) / sampleRate);
    }
    return samples.empty() ? 0 : 2 * std::abs(sum) / static_cast<double>(samples.size());
}

}  // namespace testsupport
