#include "tests/support/PrivateSoundServer.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "platform/process/ChildProcess.h"

namespace testsupport {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

}  // namespace

PrivateSoundServer::PrivateSoundServer() : address_("unix:" + (folder_.path() / "native").string()) {
    std::filesystem::permissions(folder_.path(), std::filesystem::perms::owner_all);
    start();
    if (const char* previous = std::getenv("PULSE_SERVER")) previousAddress_ = previous;
    ::setenv("PULSE_SERVER", address_.c_str(), 1);
}

PrivateSoundServer::~PrivateSoundServer() {
    if (previousAddress_) {
        ::setenv("PULSE_SERVER", previousAddress_->c_str(), 1);
    } else {
        ::unsetenv("PULSE_SERVER");
    }
    try {
        stop();
    } catch (const std::exception&) {
        // Its folder goes with the test all the same.
    }
}

void PrivateSoundServer::restart() {
    stop();
    start();
}

bool PrivateSoundServer::answers() const {
    const auto info = platform::ChildProcess::output({"pactl", "--server=" + address_, "info"});
    return info && info->find("Server Name") != std::string::npos;
}

void PrivateSoundServer::start() {
    const std::string folder = folder_.path().string();
    const std::string log = folder + "/pulseaudio.log";
    const auto started = platform::ChildProcess::run(
        {"env", "PULSE_RUNTIME_PATH=" + folder, "PULSE_STATE_PATH=" + folder, "pulseaudio", "-n",
         "--daemonize=yes", "--exit-idle-time=-1", "--system=false", "--use-pid-file=yes",
         "--load=module-native-protocol-unix socket=" + folder + "/native",
         "--load=module-sine-source source_name=" + std::string(toneSource) + " rate=48000",
         "--log-target=file:" + log});
    if (started != 0 || !waitFor([this] { return answers(); })) {
        std::ifstream in(log);
        throw std::runtime_error("the test's own sound server did not start: " +
                                 std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
}

void PrivateSoundServer::stop() {
    platform::ChildProcess::run({"env", "PULSE_RUNTIME_PATH=" + folder_.path().string(), "pulseaudio", "--kill"});
    if (!waitFor([this] { return !answers(); })) throw std::runtime_error("the test's own sound server did not end");
}

}  // namespace testsupport
