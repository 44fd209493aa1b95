#pragma once

#include <optional>
#include <string>

#include "tests/support/TempDirectory.h"

namespace testsupport {

// A sound server of the test's own, apart from the session's, so that it can
// be stopped and started again like a user's when the desktop restarts it.
// Its one input is a steady tone named "tone". While the object lives, the
// process's sound-server clients talk to it ($PULSE_SERVER); the constructor
// throws when the server does not start, so a test that needs it fails.
class PrivateSoundServer {
public:
    static constexpr const char* toneSource = "tone";

    PrivateSoundServer();
    ~PrivateSoundServer();
    PrivateSoundServer(const PrivateSoundServer&) = delete;
    PrivateSoundServer& operator=(const PrivateSoundServer&) = delete;

    // Ends the server, waits until it is gone and starts a fresh one at the
    // same address; whatever clients had open on the old one is lost.
    void restart();

private:
    void start();
    void stop();
    bool answers() const;

    TempDirectory folder_;
    std::string address_;
    std::optional<std::string> previousAddress_;
};

}  // namespace testsupport
