#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "app/AppDelegate.h"
#include "app/dictation/DictaroAudioProcessor.h"
#include "app/dictation/TranscriptionControl.h"
#include "tests/support/TestHubServer.h"
#include "tests/support/TempDirectory.h"

namespace benchsupport {

// The application as its entry point builds it, with both permissions
// granted, its settings in a folder of its own and the model, a base-sized
// synthetic one (random weights, real sizes), on an in-process hub. The model
// is fetched into the cache by a child process first, so that this process
// holds what the application holds after a start with the model at hand.
class BenchApplication {
public:
    // `program` is this program's path, which the fetch runs again (see
    // fetchIfAsked).
    explicit BenchApplication(const std::string& program);
    ~BenchApplication();

    // When the arguments ask for the fetch, does it and returns its exit
    // status; otherwise none.
    static std::optional<int> fetchIfAsked(int argc, char** argv);

    // Launches the application and waits until its model has loaded; false
    // when it did not load.
    bool launch();

    dictaro::AppDelegate& delegate() { return *delegate_; }
    dictaro::DictaroAudioProcessor& processor() { return *processor_; }
    dictaro::TranscriptionControl& transcription() { return *transcription_; }

private:
    testsupport::TempDirectory folder_;
    std::unique_ptr<testsupport::TestHubServer> hub_;
    std::shared_ptr<dictaro::DictaroAudioProcessor> processor_;
    std::shared_ptr<dictaro::TranscriptionControl> transcription_;
    std::shared_ptr<dictaro::AppDelegate> delegate_;
};

// Feeds the session's microphone (the sound server's pipe source) quiet
// noise in real time while it lives, so that a capture gets buffers.
class MicrophoneFeed {
public:
    MicrophoneFeed();
    ~MicrophoneFeed();
    MicrophoneFeed(const MicrophoneFeed&) = delete;
    MicrophoneFeed& operator=(const MicrophoneFeed&) = delete;

private:
    std::atomic<bool> stopping_{false};
    std::thread writer_;
};

// Runs the main actor and the toolkit's events until `done` holds, without
// the sleeps of the tests' waits, so that a time taken around it is close.
bool serveUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace benchsupport
