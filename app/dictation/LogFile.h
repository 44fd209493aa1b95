#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/concurrency/SerialExecutor.h"

namespace dictaro {

// One append-only log file kept by a serial queue: lines reach the file whole,
// one at a time, in the order they were handed in. The folder is made private
// (0700) and the file readable by its owner only (0600), since the lines name
// the applications the user dictates into and the fields they type in. The
// file is located, and trimmed when it has grown past its limit, once, before
// the first line is appended.
class LogFile {
public:
    static constexpr std::uintmax_t trimThreshold = 524'288;
    static constexpr std::uintmax_t keptTail = 262'144;

    explicit LogFile(std::filesystem::path file);

    // Where the file lives; the first call creates the folder and trims.
    const std::filesystem::path& location();

    // Queues one line; the caller never waits for the disk.
    void append(std::string line);

    // Waits until every line queued so far is in the file.
    void waitUntilWritten();

private:
    void appendNow(const std::string& line);

    std::filesystem::path file_;
    std::once_flag located_;
    platform::SerialExecutor queue_;
};

// Cuts a file larger than `threshold` bytes down to its last `keep` bytes, or
// fewer: the kept part starts on a UTF-8 character, never inside one. The
// shortened file replaces the old one in one step and keeps it private. Any
// failure leaves the file as it was.
void trimLogIfNeeded(const std::filesystem::path& file, std::uintmax_t threshold, std::uintmax_t keep);

}  // namespace dictaro
