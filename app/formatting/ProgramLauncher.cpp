#include "app/formatting/ProgramLauncher.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <optional>
#include <filesystem>
#include <string_view>
#include <thread>

extern char** environ;

namespace dictaro {

namespace {

std::optional<std::filesystem::path> findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view folders(path);
    while (!folders.empty()) {
        const std::size_t colon = folders.find(':');
        const std::string_view folder = folders.substr(0, colon);
        folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
        if (folder.empty()) continue;
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) return candidate;
    }
    return std::nullopt;
}

}  // namespace

bool isProgramOnPath(const std::string& name) { return findOnPath(name).has_value(); }

bool launchProgram(const std::string& name, const std::vector<std::string>& arguments) {
    const std::optional<std::filesystem::path> program = findOnPath(name);
    if (!program) return false;

    std::vector<std::string> words{program->string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t child = 0;
    const int result = posix_spawn(&child, program->c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) return false;
    // Collected when it ends, so that it leaves no zombie behind.
    std::thread([child] { ::waitpid(child, nullptr, 0); }).detach();
    return true;
}

}  // namespace dictaro
