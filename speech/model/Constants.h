#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sonoscribe {

class ModelSupportConfig;

// The engine's fixed values. The tables are built once, on first use, and are
// read-only afterwards, so any thread may read them.
struct Constants {
    Constants() = delete;

    // The brackets of special tokens such as "<|endoftext|>".
    static constexpr std::u32string_view specialTokenCharacters = U"<|>";
    static constexpr int64_t maxTokenContext = 224;
    static constexpr std::string_view defaultLanguageCode = "en";
    static constexpr uint32_t defaultAudioReadFrameSize = 1'323'000;
    static constexpr int64_t defaultWindowSamples = 480'000;
    static constexpr std::string_view defaultPrependPunctuations = "\"'\u201c\u00a1\u00bf([{-";
    static constexpr std::string_view defaultAppendPunctuations =
        "\"'.\u3002,\uff0c!\uff01?\uff1f:\uff1a\u201d)]}\u3001";
    static constexpr std::string_view defaultRemoteConfigName = "config.json";
    static constexpr std::string_view defaultRemoteEndpoint = "https://huggingface.co";

    // Language name (lower case, in English) to Whisper language code.
    static const std::unordered_map<std::string, std::string>& languages();
    // The distinct codes of languages().
    static const std::unordered_set<std::string>& languageCodes();

    static const ModelSupportConfig& fallbackModelSupportConfig();
    static const std::vector<std::string>& knownModels();
};

}  // namespace sonoscribe
