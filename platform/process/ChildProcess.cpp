#include "platform/process/ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace platform {
namespace {

std::optional<pid_t> start(const std::vector<std::string>& arguments, int stdinFd, int stdoutFd) {
    if (arguments.empty()) return std::nullopt;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdinFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdinFd, STDIN_FILENO);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    pid_t pid = 0;
    const int failed = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) return std::nullopt;
    return pid;
}

std::optional<int> waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return std::nullopt;
    }
    if (!WIFEXITED(status)) return std::nullopt;
    return WEXITSTATUS(status);
}

}  // namespace

std::optional<pid_t> ChildProcess::spawnDetached(const std::vector<std::string>& arguments) {
    const auto pid = start(arguments, -1, -1);
    if (pid) std::thread([child = *pid] { waitFor(child); }).detach();
    return pid;
}

std::optional<pid_t> ChildProcess::spawnDetached(const std::vector<std::string>& arguments, const std::string& input) {
    // A socket rather than a pipe: a program that ends before it read
    // everything gives an error, not a SIGPIPE that would end us.
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return std::nullopt;
    const auto pid = start(arguments, fds[1], -1);
    ::close(fds[1]);
    if (pid) std::thread([child = *pid] { waitFor(child); }).detach();
    bool written = pid.has_value();
    const timeval patience{2, 0};
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    for (std::size_t sent = 0; written && sent < input.size();) {
        const ssize_t count = ::send(fds[0], input.data() + sent, input.size() - sent, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) written = false;
        if (count > 0) sent += static_cast<std::size_t>(count);
    }
    ::close(fds[0]);
    if (!written) return std::nullopt;
    return pid;
}

std::optional<int> ChildProcess::run(const std::vector<std::string>& arguments) {
    const auto pid = start(arguments, -1, -1);
    if (!pid) return std::nullopt;
    return waitFor(*pid);
}

std::optional<std::string> ChildProcess::output(const std::vector<std::string>& arguments) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    const auto pid = start(arguments, -1, pipeFds[1]);
    ::close(pipeFds[1]);
    if (!pid) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(pipeFds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeFds[0]);
    if (!waitFor(*pid)) return std::nullopt;
    return text;
}

}  // namespace platform
