#include "tests/desktop/DesktopSession.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/concurrency/MainActor.h"
#include "platform/process/ChildProcess.h"
#include "platform/x11/Workspace.h"

namespace desktoptest {

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        platform::MainActor::drain();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void keepServing(std::chrono::milliseconds duration) {
    waitUntil([] { return false; }, duration);
}

void xdotool(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"xdotool"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(platform::ChildProcess::run(command), 0) << "xdotool " << arguments.front();
}

std::string clipboardAs(const std::string& mimeType) {
    // xclip waits for the owner's answer, which may be this very process:
    // keep answering while it asks.
    return whileServing([mimeType] {
        return platform::ChildProcess::output({"xclip", "-o", "-selection", "clipboard", "-t", mimeType})
            .value_or("");
    });
}

TargetWindow::TargetWindow(Options options) : appId_(options.appId) {
    std::random_device random;
    record_ = std::filesystem::temp_directory_path() / ("dictaro-target-" + std::to_string(random()) + ".txt");
    std::vector<std::string> command{PASTE_TARGET_APP, "--app-id", options.appId, "--record", record_.string(),
                                     "--paste", options.paste};
    if (options.ownClipboard) {
        command.push_back("--own-clipboard");
        command.push_back(*options.ownClipboard);
        if (options.secretClipboard) command.push_back("--secret");
    }
    for (const auto& [option, value] : options.extra) {
        command.push_back(option);
        command.push_back(value);
    }
    pid_ = platform::ChildProcess::spawnDetached(command).value_or(0);
    EXPECT_GT(pid_, 0) << "the test editor did not start";
}

TargetWindow::~TargetWindow() {
    kill();
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

void TargetWindow::kill() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
    // Wait until it is gone, so its windows and clipboard go with it.
    waitUntil([this] { return pid_ <= 0 || ::kill(pid_, 0) != 0; }, std::chrono::seconds(5));
    pid_ = 0;
}

std::string TargetWindow::text() const {
    std::ifstream in(record_, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool TargetWindow::waitUntilActive() {
    platform::x11::Workspace workspace;
    return waitUntil([&] {
        const auto front = workspace.frontmostApplication();
        // The window exists a moment before it carries its id; a test reads
        // both.
        return front && front->processIdentifier == pid_ && front->bundleIdentifier == appId_;
    });
}

bool TargetWindow::waitForText(const std::string& expected) {
    return waitUntil([&] { return text() == expected; });
}

}  // namespace desktoptest
