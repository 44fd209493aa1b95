#include "tests/support/PipeMicrophone.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/support/TempDirectory.h"

namespace testsupport {
namespace {

constexpr int bytesPerSecond = 48000 * 2 * 2;
// The pipe is fed in slices this long, each at its due time.
constexpr std::chrono::milliseconds slice{20};
constexpr std::size_t sliceBytes = bytesPerSecond / 50;

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

std::string quotedForShell(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

std::string spokenMicrophoneAudio(const std::string& text) {
    const TempDirectory folder;
    const std::string wav = (folder.path() / "spoken.wav").string();
    const std::string raw = (folder.path() / "spoken.raw").string();
    run("espeak-ng -w " + quotedForShell(wav) + " " + quotedForShell(text));
    run("sox " + quotedForShell(wav) + " -t raw -r 48000 -c 2 -b 16 -e signed-integer -L " + quotedForShell(raw) +
        " 2>/dev/null");
    std::ifstream in(raw, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string microphoneSilence(std::chrono::milliseconds duration) {
    // Whole stereo frames only.
    const auto frames = static_cast<std::size_t>(duration.count()) * 48;
    return std::string(frames * 4, '\0');
}

int ownSoundServerRecordings() {
    FILE* pipe = ::popen("pactl list source-outputs", "r");
    if (!pipe) throw std::runtime_error("cannot run pactl");
    const std::string ours = "application.process.id = \"" + std::to_string(::getpid()) + "\"";
    int count = 0;
    std::array<char, 1024> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), pipe)) {
        if (std::string(line.data()).find(ours) != std::string::npos) ++count;
    }
    if (::pclose(pipe) != 0) throw std::runtime_error("pactl cannot reach the sound server");
    return count;
}

void drainMicrophonePipe(const char* path) {
    const int reader = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0) throw std::runtime_error(std::string("cannot open the microphone pipe ") + path);
    std::array<char, 65536> discarded{};
    while (::read(reader, discarded.data(), discarded.size()) > 0) {
    }
    ::close(reader);
}

namespace {

// The session's microphone pipe, emptied of what earlier tests played, open
// for writing.
int openMicrophonePipe() {
    const char* path = std::getenv("DICTARO_PULSE_MIC_FIFO");
    if (!path || !*path) throw std::runtime_error("DICTARO_PULSE_MIC_FIFO is not set: run under scripts/with-services");
    drainMicrophonePipe(path);
    // The sound server holds the pipe open for reading, so this does not wait.
    const int fd = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error(std::string("cannot open the microphone pipe ") + path);
    return fd;
}

}  // namespace

UnpacedMicrophone::UnpacedMicrophone() : fd_(openMicrophonePipe()) {}

UnpacedMicrophone::~UnpacedMicrophone() { ::close(fd_); }

void UnpacedMicrophone::play(double frequency, double seconds) {
    const auto frames = static_cast<std::size_t>(std::llround(seconds * 48000));
    std::vector<int16_t> data;
    data.reserve(frames * 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const auto value = static_cast<int16_t>(
            std::lround(16383 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(played_ + i) / 48000)));
        data.push_back(value);
        data.push_back(value);
    }
    played_ += frames;
    const auto* bytes = reinterpret_cast<const char*>(data.data());
    std::size_t left = data.size() * sizeof(int16_t);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (left > 0) {
        pollfd writable{fd_, POLLOUT, 0};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0 || ::poll(&writable, 1, static_cast<int>(wait.count())) <= 0) {
            throw std::runtime_error("the microphone does not take what is played into it");
        }
        const ssize_t written = ::write(fd_, bytes, left);
        if (written < 0 && errno == EAGAIN) continue;
        if (written <= 0) throw std::runtime_error("cannot write the microphone pipe");
        bytes += written;
        left -= static_cast<std::size_t>(written);
    }
}

PipeMicrophone::PipeMicrophone() : fd_(openMicrophonePipe()) { thread_ = std::thread([this] { run(); }); }

PipeMicrophone::~PipeMicrophone() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    ::close(fd_);
}

void PipeMicrophone::say(std::string audio) {
    std::lock_guard lock(mutex_);
    queued_.insert(queued_.end(), audio.begin(), audio.end());
}

bool PipeMicrophone::waitUntilSaid(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return queued_.empty(); });
}

void PipeMicrophone::run() {
    auto due = std::chrono::steady_clock::now();
    std::string piece;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (changed_.wait_until(lock, due, [this] { return stopping_; })) return;
            const std::size_t take = std::min(sliceBytes, queued_.size());
            piece.assign(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(take));
            queued_.erase(queued_.begin(), queued_.begin() + static_cast<std::ptrdiff_t>(take));
            piece.resize(sliceBytes, '\0');
        }
        changed_.notify_all();
        std::size_t written = 0;
        while (written < piece.size()) {
            pollfd ready{fd_, POLLOUT, 0};
            // A server that stopped reading loses the slice rather than
            // holding the test up.
            if (::poll(&ready, 1, 200) <= 0) break;
            const ssize_t n = ::write(fd_, piece.data() + written, piece.size() - written);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
        due += slice;
    }
}

}  // namespace testsupport
