#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class QLocalServer;

namespace platform::instance {

// One running copy of a program per user and X display, as a lock file and a
// local socket in the user's runtime folder named after the program and the
// display. The copy holding the lock answers on the socket; a later start
// asks it to come forward instead of running beside it. Needs the toolkit's
// application object, on whose thread the answers are given.
class SingleInstance {
public:
    enum class Start {
        first,        // this copy runs and answers later starts
        forwarded,    // the running copy was asked to come forward; this one ends
        unreachable,  // a copy holds the place, yet neither answers nor ends
    };

    // For the display named by $DISPLAY.
    explicit SingleInstance(const std::string& program);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the place, or asks the copy that holds it to come forward. A copy
    // that no longer answers because it is quitting is waited for, up to
    // `quitting`. Without a runtime folder of the user's own there is no
    // place to take and every copy is the first.
    Start start(std::chrono::milliseconds quitting);

    // The first copy from now on runs `onAsked` for each later start.
    void answer(std::function<void()> onAsked);

    // For a quit: later starts wait for this copy to end.
    void stopAnswering();

private:
    bool askRunningCopy() const;

    std::filesystem::path lock_;
    std::filesystem::path socket_;
    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace platform::instance
