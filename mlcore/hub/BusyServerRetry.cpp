#include "mlcore/hub/BusyServerRetry.h"

#include <ctime>
#include <string>

#include "mlcore/hub/HeaderNumbers.h"

namespace celvan {

namespace {

constexpr std::chrono::seconds kLongestPause{30};
constexpr std::chrono::seconds kPauseWhenUnnamed{1};

// An IMF-fixdate such as "Wed, 21 Oct 2015 07:28:00 GMT".
std::optional<std::chrono::seconds> secondsUntil(const std::string& date) {
    std::tm parts{};
    const char* end = ::strptime(date.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
    if (end == nullptr || *end != '\0') return std::nullopt;
    const std::time_t when = ::timegm(&parts);
    const std::time_t now = std::time(nullptr);
    return std::chrono::seconds(when > now ? when - now : 0);
}

}  // namespace

bool isBusyServerStatus(int status) { return status == 429 || status == 503; }

std::optional<std::chrono::seconds> busyServerPause(const platform::HTTPURLResponse& response) {
    if (!isBusyServerStatus(response.statusCode)) return std::nullopt;
    const auto header = response.value("Retry-After");
    if (!header) return kPauseWhenUnnamed;
    const bool inSeconds = !header->empty() && header->find_first_not_of("0123456789") == std::string::npos;
    std::optional<std::chrono::seconds> pause;
    if (inSeconds) {
        // Digits past the 64-bit range ask for longer than anyone waits.
        const auto seconds = parseByteCount(*header);
        if (!seconds) return std::nullopt;
        pause = std::chrono::seconds(*seconds);
    } else {
        pause = secondsUntil(*header);
        if (!pause) return kPauseWhenUnnamed;
    }
    if (*pause > kLongestPause) return std::nullopt;
    return pause;
}

}  // namespace celvan
