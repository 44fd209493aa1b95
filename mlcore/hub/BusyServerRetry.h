#pragma once

#include <chrono>
#include <optional>

#include "platform/net/HTTPURLResponse.h"

namespace celvan {

// A server that answers 429 (too many requests) or 503 (unavailable) is
// asked again this many times, after the pause it names.
constexpr int kBusyServerRetries = 3;

bool isBusyServerStatus(int status);

// How long to wait before asking a busy server again: its "Retry-After" (in
// seconds or as an HTTP date), or one second when it names none. Nothing
// when the server asks for a longer pause than a download should sit
// through, or when the answer is no busy status.
std::optional<std::chrono::seconds> busyServerPause(const platform::HTTPURLResponse& response);

}  // namespace celvan
