#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace dictaro {

// The application's own log: "$XDG_STATE_HOME/dictaro/dictaro.log" (or
// "~/.local/state/..."), one line per call, each also sent to the system log.
// Callable from any thread; the caller never waits for the disk.
class Log {
public:
    static const std::filesystem::path& fileURL();

    static void info(std::string_view category, std::string_view message);
    static void error(std::string_view category, std::string_view message);

    // Waits until every line written so far has reached the file.
    static void waitUntilWritten();

    // "2026-12-09T17:13:25.123Z" for the given moment, in UTC.
    static std::string timestamp(std::chrono::system_clock::time_point moment);

    // timestamp, " ", level, " [", category, "] ", message, "\n".
    static std::string formatLine(std::string_view timestamp, std::string_view level, std::string_view category,
                                  std::string_view message);

private:
    static void write(std::string_view level, std::string_view category, std::string_view message);
};

}  // namespace dictaro
