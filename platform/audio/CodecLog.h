#pragma once

#include <functional>
#include <string_view>

namespace platform::audio {

// Where the codec library's own messages go, one line at a time (its
// warnings and errors, without the verbose ones). Until a handler is set,
// and with an empty one, they are dropped: left alone, the library would
// write them to the terminal. The handler may be called on any thread that
// reads a file, several at once.
void setCodecLogHandler(std::function<void(std::string_view line)> handler);

// Points the codec library's log at the handler; every file opened for
// reading does this first.
void routeCodecLog();

}  // namespace platform::audio
