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

    // As spawnDetached(), writing `input` to the program's standard input,
    // which then ends. Waits while the program reads it, up to two seconds
    // for each stretch it does not; absent when it could not be started or
    // did not take all of it.
    static std::optional<pid_t> spawnDetached(const std::vector<std::string>& arguments, const std::string& input);

    // Starts the program and waits for it; its exit status, or absent when it
    // could not be started or did not exit normally.
    static std::optional<int> run(const std::vector<std::string>& arguments);

    // As run(), also returning what it wrote to standard output.
    static std::optional<std::string> output(const std::vector<std::string>& arguments);
};

}  // namespace platform
