#include "app/dictation/Log.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/dictation/LogFile.h"
#include "platform/log/SystemLog.h"

namespace dictaro {
namespace {

std::filesystem::path defaultLogPath() {
    std::filesystem::path state;
    if (const char* xdgState = std::getenv("XDG_STATE_HOME"); xdgState && *xdgState == '/') {
        state = xdgState;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        state = std::filesystem::path(home) / ".local" / "state";
    } else {
        state = std::filesystem::temp_directory_path();
    }
    return state / "dictaro" / "dictaro.log";
}

// Never destroyed: lines still queued when the program exits are written by
// the pool afterwards, and must not find the file's object gone.
LogFile& sharedFile() {
    static LogFile& file = *new LogFile(defaultLogPath());
    return file;
}

}  // namespace

const std::filesystem::path& Log::fileURL() {
    return sharedFile().location();
}

void Log::info(std::string_view category, std::string_view message) {
    write("INFO", category, message);
}

void Log::error(std::string_view category, std::string_view message) {
    write("ERROR", category, message);
}

void Log::waitUntilWritten() {
    sharedFile().waitUntilWritten();
}

std::string Log::timestamp(std::chrono::system_clock::time_point moment) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis % 1000));
    return text;
}

std::string Log::formatLine(std::string_view timestamp, std::string_view level, std::string_view category,
                            std::string_view message) {
    std::string line;
    line.reserve(timestamp.size() + level.size() + category.size() + message.size() + 6);
    line.append(timestamp).append(" ").append(level).append(" [").append(category).append("] ").append(message);
    line.push_back('\n');
    return line;
}

void Log::write(std::string_view level, std::string_view category, std::string_view message) {
    std::string line = formatLine(timestamp(std::chrono::system_clock::now()), level, category, message);
    static const platform::log::Logger mirror("com.pelmaroven.dictaro", "Log");
    std::string mirrored;
    mirrored.append("[").append(category).append("] ").append(message);
    mirror.log(platform::log::LogType::defaultType, mirrored);
    sharedFile().append(std::move(line));
}

}  // namespace dictaro
