#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>

#include "platform/process/ChildProcess.h"
#include "tests/support/PrivateSessionBus.h"

namespace testsupport {

// Holds the test run's secret service (the keyring daemon that owns
// org.freedesktop.secrets on the private bus) stopped until resume() or the
// end of the scope: calls to it wait, as they would on a secret service that
// is slow to answer, and are answered once it goes on. Does nothing on any
// other bus.
class PausedSecretService {
public:
    PausedSecretService() {
        if (!onPrivateSessionBus()) return;
        const std::string reply = platform::ChildProcess::output(
                                      {"dbus-send", "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                       "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID",
                                       "string:org.freedesktop.secrets"})
                                      .value_or("");
        const auto number = reply.find("uint32 ");
        if (number != std::string::npos) pid_ = static_cast<pid_t>(std::stol(reply.substr(number + 7)));
        if (pid_ > 0 && ::kill(pid_, SIGSTOP) != 0) pid_ = 0;
    }
    ~PausedSecretService() { resume(); }
    PausedSecretService(const PausedSecretService&) = delete;
    PausedSecretService& operator=(const PausedSecretService&) = delete;

    bool isPaused() const { return pid_ > 0; }
    // Safe from any thread, and more than once.
    void resume() const {
        if (pid_ > 0) ::kill(pid_, SIGCONT);
    }

private:
    pid_t pid_ = 0;
};

}  // namespace testsupport
