#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/JsonValue.h"
#include "speech/engine/Result.h"
#include "speech/model/TranscriptionResult.h"

namespace sonoscribe {

// Why a writer refused to write before touching the disk.
class ResultWritingError : public std::runtime_error {
public:
    enum class Kind { invalidFileName, missingOutputDirectory };

    ResultWritingError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

// Saves a transcription result as a file in one folder. write never throws:
// the outcome is the written file's URL or the error.
class ResultWriting {
public:
    virtual ~ResultWriting() = default;

    virtual const std::string& outputDir() const = 0;
    // `to` is the file name without its extension; options are accepted and
    // ignored.
    virtual Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                                      const std::optional<platform::JSONValue>& options = std::nullopt) = 0;
    virtual std::string formatTime(float seconds, bool alwaysIncludeHours, const std::string& decimalMarker) const;

    // One SubRip cue, numbered `index`.
    std::string formatSegment(int64_t index, float start, float end, const std::string& text) const;
    // One WebVTT cue.
    std::string formatTiming(float start, float end, const std::string& text) const;
};

// A writer bound to one output folder.
class FolderResultWriter : public ResultWriting {
public:
    explicit FolderResultWriter(std::string outputDir) : outputDir_(std::move(outputDir)) {}

    const std::string& outputDir() const override { return outputDir_; }

private:
    const std::string outputDir_;
};

class WriteJSON : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const std::optional<platform::JSONValue>& options = std::nullopt) override;
};

class WriteSRT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const std::optional<platform::JSONValue>& options = std::nullopt) override;
};

class WriteVTT : public FolderResultWriter {
public:
    using FolderResultWriter::FolderResultWriter;
    Result<std::string> write(const TranscriptionResult& result, const std::string& to,
                              const std::optional<platform::JSONValue>& options = std::nullopt) override;
};

}  // namespace sonoscribe
