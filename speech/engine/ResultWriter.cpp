#include "speech/engine/ResultWriter.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include <nlohmann/json.hpp>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/URL.h"
#include "speech/model/JsonCoding.h"

namespace sonoscribe {
namespace {

// Truncates toward zero; a time too large for a cue field (or not a number)
// would make the conversion undefined, so it saturates instead.
int64_t truncated(float value) {
    if (std::isnan(value)) return 0;
    constexpr float limit = 1e15f;
    if (value >= limit) return static_cast<int64_t>(limit);
    if (value <= -limit) return -static_cast<int64_t>(limit);
    return static_cast<int64_t>(value);
}

// The file the writer will replace: refuses names that would leave the
// folder and folders that are not there, before anything is written.
platform::URL targetFile(const std::string& outputDir, const std::string& fileName, const std::string& extension) {
    if (fileName.empty() || fileName == "." || fileName == ".." || fileName.find('/') != std::string::npos ||
        fileName.find('\0') != std::string::npos) {
        throw ResultWritingError(ResultWritingError::Kind::invalidFileName,
                                 "Invalid output file name: \"" + fileName + "\"");
    }
    if (!platform::FileManager::isDirectory(outputDir)) {
        throw ResultWritingError(ResultWritingError::Kind::missingOutputDirectory,
                                 "Output folder does not exist: " + outputDir);
    }
    return platform::URL::fileURLWithPath(outputDir, true).appendingComponent(fileName + extension);
}

Result<std::string> writeFile(const std::string& outputDir, const std::string& fileName, const std::string& extension,
                              const std::function<std::string()>& content) {
    return catchingResult([&] {
        const platform::URL target = targetFile(outputDir, fileName, extension);
        platform::FileManager::writeAtomically(target.path(), content());
        return target.absoluteString();
    });
}

// Word cues where a segment has words, else one cue for the segment.
template <class Cue>
std::string cues(const TranscriptionResult& result, Cue cue) {
    std::string content;
    for (const TranscriptionSegment& segment : result.segments()) {
        if (segment.words && !segment.words->empty()) {
            for (const WordTiming& word : *segment.words) content += cue(word.start, word.end, word.word);
        } else {
            content += cue(segment.start, segment.end, segment.text);
        }
    }
    return content;
}

}  // namespace

std::string ResultWriting::formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const {
    const int64_t hours = truncated(seconds / 3600.0f);
    const int64_t minutes = truncated(std::fmod(seconds, 3600.0f) / 60.0f);
    const int64_t secs = truncated(std::fmod(seconds, 60.0f));
    const int64_t milliseconds = truncated((seconds - std::floor(seconds)) * 1000.0f);
    char head[64];
    char tail[32];
    if (alwaysIncludeHours || hours >= 1) {
        std::snprintf(head, sizeof head, "%02lld:%02lld:%02lld", static_cast<long long>(hours),
                      static_cast<long long>(minutes), static_cast<long long>(secs));
    } else {
        std::snprintf(head, sizeof head, "%02lld:%02lld", static_cast<long long>(minutes),
                      static_cast<long long>(secs));
    }
    std::snprintf(tail, sizeof tail, "%03lld", static_cast<long long>(milliseconds));
    return head + decimalMarker + tail;
}

std::string ResultWriting::formatSegment(int64_t index, float start, float end, const std::string& text) const {
    return std::to_string(index) + "\n" + formatTime(start, true, ",") + " --> " + formatTime(end, true, ",") + "\n" +
           text + "\n\n";
}

std::string ResultWriting::formatTiming(float start, float end, const std::string& text) const {
    return formatTime(start, false, ".") + " --> " + formatTime(end, false, ".") + "\n" + text + "\n\n";
}

Result<std::string> WriteJSON::write(const TranscriptionResult& result, const std::string& to,
                                     const std::optional<platform::JSONValue>&) {
    return writeFile(outputDir(), to, ".json", [&] {
        // Re-read in document order so that the indented form keeps the
        // result's key order and its shortest number forms.
        return nlohmann::ordered_json::parse(encodeJSON(result)).dump(2);
    });
}

Result<std::string> WriteSRT::write(const TranscriptionResult& result, const std::string& to,
                                    const std::optional<platform::JSONValue>&) {
    return writeFile(outputDir(), to, ".srt", [&] {
        int64_t index = 0;
        return cues(result, [&](float start, float end, const std::string& text) {
            return formatSegment(++index, start, end, text);
        });
    });
}

Result<std::string> WriteVTT::write(const TranscriptionResult& result, const std::string& to,
                                    const std::optional<platform::JSONValue>&) {
    return writeFile(outputDir(), to, ".vtt", [&] {
        return "WEBVTT\n\n" + cues(result, [&](float start, float end, const std::string& text) {
                   return formatTiming(start, end, text);
               });
    });
}

}  // namespace sonoscribe
