#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

namespace testsupport {

// Sizes of a synthetic speech-model trio. The feature names, data types and
// layouts are those of real exports; the weights are random.
struct TrioDimensions {
    int64_t samples = 480000;  // audio samples in one window
    int64_t fftSize = 400;
    int64_t hop = 160;
    int64_t melBins = 80;
    int64_t frames = 3000;        // mel frames = samples / hop
    int64_t encoderFrames = 1500; // frames after the stride-2 convolution
    int64_t width = 512;          // embedding width D
    int64_t heads = 8;
    int64_t encoderLayers = 6;
    int64_t decoderLayers = 6;
    int64_t vocabulary = 51864;
    int64_t cacheSlots = 224;     // S of the key-value cache

    static TrioDimensions baseEn();
    static TrioDimensions tiny();
    int64_t cacheWidth() const { return width * decoderLayers; }  // E
};

// The mel filterbank the mel program multiplies with, [melBins, fftSize/2 + 1],
// Slaney-style triangles for 16 kHz audio.
std::vector<float> melFilters(const TrioDimensions& dims);

// How a decoder writes its products: `linear` logits and einsum attention, or
// the matmul forms other converters write (the logits a matmul against the
// token embedding, attention as matmul, softmax, matmul). Both compute the same.
enum class ProductForm { linearEinsum, matmul };

// Each writes one complete bundle and returns its folder.
std::filesystem::path writeMelSpectrogram(const std::filesystem::path& bundle, const TrioDimensions& dims);
std::filesystem::path writeAudioEncoder(const std::filesystem::path& bundle, const TrioDimensions& dims, uint32_t seed);
// The decoder as the engine drives it: one token per prediction with the
// key-value cache passed in and the new entries passed out.
std::filesystem::path writeTextDecoder(const std::filesystem::path& bundle, const TrioDimensions& dims, uint32_t seed,
                                       ProductForm form = ProductForm::linearEinsum);
// The same decoder weights (same seed) run over `tokens` positions at once with
// a causal mask and no cache: "input_ids" [tokens] to "logits" [1, tokens, V].
std::filesystem::path writeFullSequenceDecoder(const std::filesystem::path& bundle, const TrioDimensions& dims,
                                               uint32_t seed, int64_t tokens);

}  // namespace testsupport
