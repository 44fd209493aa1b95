#include "app/dictation/PermissionStatus.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "platform/accessibility/Accessibility.h"
#include "platform/concurrency/MainActor.h"
#include "platform/process/ChildProcess.h"
#include "speech/audio/AudioProcessor.h"

namespace dictaro {
namespace {

std::optional<std::string> findInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        const std::filesystem::path candidate = std::filesystem::path(folders.substr(start, end - start)) / program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
        start = end + 1;
    }
    return std::nullopt;
}

// The first settings program installed, started with its arguments.
bool openFirstSettingsProgram(const std::vector<std::vector<std::string>>& commands) {
    for (const auto& command : commands) {
        if (findInPath(command.front())) return platform::ChildProcess::spawnDetached(command).has_value();
    }
    return false;
}

std::vector<std::string> ownArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < all.size();) {
        const std::size_t end = all.find('\0', start);
        arguments.push_back(all.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    if (!arguments.empty()) arguments.erase(arguments.begin());
    return arguments;
}

}  // namespace

bool PermissionStatus::microphoneAuthorized() { return sonoscribe::AudioProcessor::requestRecordPermission(); }

void PermissionStatus::requestMicrophone(std::function<void(bool granted)> completion) {
    platform::MainActor::post([completion = std::move(completion)] { completion(microphoneAuthorized()); });
}

bool PermissionStatus::accessibilityTrusted() {
    return platform::accessibility::isProcessTrusted();
}

void PermissionStatus::requestAccessibility() {
    platform::accessibility::enableAccessibility();
    openFirstSettingsProgram({{"gnome-control-center", "universal-access"}, {"systemsettings", "kcm_access"}});
}

bool PermissionStatus::openMicrophoneSettings() {
    return openFirstSettingsProgram(
        {{"gnome-control-center", "sound"}, {"systemsettings", "kcm_pulseaudio"}, {"pavucontrol", "--tab=4"}});
}

std::vector<std::string> PermissionStatus::relaunchCommand(const std::string& executable,
                                                           const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"/bin/sh", "-c", "sleep 1 && exec \"$0\" \"$@\"", executable};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

bool PermissionStatus::relaunch(const std::function<void()>& quit) {
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return false;
    if (!platform::ChildProcess::spawnDetached(relaunchCommand(executable.string(), ownArguments()))) return false;
    quit();
    return true;
}

}  // namespace dictaro
