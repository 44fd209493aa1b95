#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace testsupport {

// espeak-ng saying `text`, in the pipe microphone's format (s16le, 48 kHz,
// stereo). Voiced from start to end, so voice-activity detection hears speech.
std::string spokenMicrophoneAudio(const std::string& text);
// Digital silence of `duration` in that format.
std::string microphoneSilence(std::chrono::milliseconds duration);

// How many recording streams the sound server has open for this process right
// now: a capture that was stopped leaves none behind.
int ownSoundServerRecordings();

// Takes out of the pipe at `path` what an earlier test played after its
// capture ended (the source reads only while something records), so that a
// test hears only what it plays itself. Only for a test holding the pipe.
void drainMicrophonePipe(const char* path);

// The pipe microphone without a clock: what is played goes into the pipe at
// once, as fast as it takes it, and the sound server records it as fast as it
// reads it. Plays tones, a few seconds at a time (a flood of the pipe would
// overrun the server's buffer). The constructor throws without the pipe.
class UnpacedMicrophone {
public:
    UnpacedMicrophone();
    ~UnpacedMicrophone();
    UnpacedMicrophone(const UnpacedMicrophone&) = delete;
    UnpacedMicrophone& operator=(const UnpacedMicrophone&) = delete;

    // `seconds` of a sine at `frequency`, amplitude 0.5, on both channels,
    // going on from what was played before.
    void play(double frequency, double seconds);

private:
    int fd_ = -1;
    std::size_t played_ = 0;
};

// The test session's microphone: the pipe source behind
// $DICTARO_PULSE_MIC_FIFO. While it exists it writes into the pipe in real
// time, as a microphone in a room hears it: what was said, in order, and
// silence between and after. The constructor throws when the session has no
// such pipe, so a test that needs one fails.
class PipeMicrophone {
public:
    PipeMicrophone();
    ~PipeMicrophone();
    PipeMicrophone(const PipeMicrophone&) = delete;
    PipeMicrophone& operator=(const PipeMicrophone&) = delete;

    // Plays `audio` (in the pipe's format) after whatever is still queued.
    void say(std::string audio);
    // Waits until everything queued has gone into the pipe.
    bool waitUntilSaid(std::chrono::milliseconds timeout);

private:
    void run();

    int fd_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<char> queued_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace testsupport
