#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

// Child processes started from an argument list, never through a shell, so
// no path or argument is ever parsed as a command. The first element names
// the program, looked up in PATH when it has no slash.
struct ChildProcess {
    // Starts the program and does not wait; the child is reaped in the
    // background. Absent when it could not be started.
    static std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments);

    // Starts the program and waits for it; its exit status, or absent when it
    // could not be started or did not exit normally.
    static std::optional<int> run(const std::vector<std::string>& arguments);

    // As run(), also returning what it wrote to standard output.
    static std::optional<std::string> output(const std::vector<std::string>& arguments);
};

}  // namespace platform
