#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace testsupport {

struct ProbeRun {
    // As waitpid() gives it; -1 when the probe could not be started.
    int status = -1;
    // The loaders' lines.
    std::string output;
    // The probe's own peak resident memory, as it reported it.
    double peakMegabytes = 0;
};

// Runs the audio load probe (AudioLoadProbe.cpp) on one file in a child
// process, with its address space limited to `addressSpaceBytes` when that
// is not 0, as `ulimit -v` would.
inline ProbeRun runAudioLoadProbe(const std::string& probe, const std::string& file, uint64_t addressSpaceBytes) {
    ProbeRun run;
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return run;
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        if (addressSpaceBytes != 0) {
            const rlimit limit{addressSpaceBytes, addressSpaceBytes};
            if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(126);
        }
        ::execl(probe.c_str(), probe.c_str(), file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    if (child < 0) {
        ::close(pipeEnds[0]);
        return run;
    }
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipeEnds[0], chunk, sizeof chunk)) > 0;) run.output.append(chunk, static_cast<std::size_t>(n));
    ::close(pipeEnds[0]);
    if (::waitpid(child, &run.status, 0) != child) run.status = -1;
    const std::size_t peak = run.output.rfind("peak ");
    if (peak != std::string::npos) {
        run.peakMegabytes = std::stod(run.output.substr(peak + 5)) / 1024.0;
        run.output.resize(peak);
    }
    return run;
}

}  // namespace testsupport
