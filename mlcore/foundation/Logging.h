#pragma once

#include "platform/foundation/NumberFormatting.h"
#include "platform/log/SystemLog.h"

#include <concepts>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace celvan {

namespace logging_detail {

template <typename T>
concept HasDescription = requires(const T& value) {
    { description(value) } -> std::convertible_to<std::string_view>;
};

template <typename T>
concept HasMemberDescription = requires(const T& value) {
    { value.description() } -> std::convertible_to<std::string_view>;
};

template <typename T>
concept Streamable = requires(std::ostream& stream, const T& value) { stream << value; };

// The text printing the value gives: strings as they are, numbers in the
// project's usual form, other values by their description.
template <typename T>
void appendRendering(std::string& out, const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        out += std::string_view(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out += value ? "true" : "false";
    } else if constexpr (std::is_same_v<T, char>) {
        out += value;
    } else if constexpr (std::is_integral_v<T>) {
        out += std::to_string(value);
    } else if constexpr (std::is_floating_point_v<T>) {
        out += std::is_same_v<T, float> ? platform::description(static_cast<float>(value))
                                        : platform::description(static_cast<double>(value));
    } else if constexpr (HasDescription<T>) {
        out += std::string_view(description(value));
    } else if constexpr (HasMemberDescription<T>) {
        out += std::string_view(value.description());
    } else if constexpr (std::is_base_of_v<std::exception, T>) {
        out += value.what();
    } else {
        static_assert(Streamable<T>, "a logged item needs a description");
        std::ostringstream stream;
        stream << value;
        out += stream.str();
    }
}

} // namespace logging_detail

// The shared logger of the library modules. It starts silent (level none);
// an accepted message goes to the callback when one is set, else to the
// system log.
class Logging {
public:
    enum class LogLevel : int { debug = 1, info = 2, error = 3, none = 4 };
    using Callback = std::function<void(const std::string&)>;

    // Absent unless the value is 1 to 4.
    static std::optional<LogLevel> logLevelFromRawValue(int rawValue);

    static Logging& shared();

    LogLevel logLevel() const;
    void setLogLevel(LogLevel level);
    Callback loggingCallback() const;
    void setLoggingCallback(Callback callback);

    // The items are rendered only once the level admits the message.
    template <typename... Items>
    void log(platform::log::LogType type, std::string_view separator, std::optional<std::string_view> terminator,
             const Items&... items) {
        const auto [accepted, callback] = admit(type);
        if (!accepted) return;
        std::string message;
        std::size_t rendered = 0;
        [[maybe_unused]] auto append = [&](const auto& item) {
            if (rendered++ > 0) message += separator;
            logging_detail::appendRendering(message, item);
        };
        (append(items), ...);
        if (terminator) message += *terminator;
        deliver(type, message, callback);
    }

    template <typename... Items>
    static void debug(const Items&... items) {
        shared().log(platform::log::LogType::debug, " ", std::nullopt, items...);
    }
    template <typename... Items>
    static void info(const Items&... items) {
        shared().log(platform::log::LogType::info, " ", std::nullopt, items...);
    }
    template <typename... Items>
    static void error(const Items&... items) {
        shared().log(platform::log::LogType::error, " ", std::nullopt, items...);
    }

    static void updateLogLevel(LogLevel level);
    // An empty callback sends messages to the system log again.
    static void updateCallback(Callback callback);
    // True unless the level is none.
    static bool isLoggingEnabled();
    // True when the level is not none and `level` is at or above it.
    static bool isLoggingEnabled(LogLevel level);

    static void logCurrentMemoryUsage(const std::string& message);
    // Resident memory in whole mebibytes, 0 when it cannot be read.
    static uint64_t getMemoryUsage();
    static std::string formatTimeWithPercentage(double time, double runs, double fullPipelineDuration);

private:
    struct State {
        LogLevel logLevel = LogLevel::none;
        Callback loggingCallback;
    };

    Logging();
    std::pair<bool, Callback> admit(platform::log::LogType type) const;
    void deliver(platform::log::LogType type, const std::string& message, const Callback& callback) const;

    mutable std::mutex lock_;
    State state_;
    platform::log::Logger logger_;
};

inline bool operator<(Logging::LogLevel a, Logging::LogLevel b) {
    return static_cast<int>(a) < static_cast<int>(b);
}

} // namespace celvan
