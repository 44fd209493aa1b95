// Takes a snapshot of a repository holding one 1 GiB file and of one holding
// 200 small files from a loopback hub, as a user of the hub client gets it
// (listing, HEAD metadata, transfer, SHA-256 check of content tags, metadata
// files, move into the cache), and fetches the same bytes from the same
// server with the curl program in the same run. The hub runs in a child
// process, so the peak resident memory of this process is the client's alone.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mlcore/hub/HubApi.h"
#include "tests/support/TestHubServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kLargeBytes = std::uint64_t(1) << 30;
constexpr int kSmallFiles = 200;
constexpr std::size_t kSmallBytes = 64 * 1024;
constexpr int kRounds = 3;

void writeRandomFile(const fs::path& path, std::uint64_t size, unsigned seed) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block(1 << 17);
    for (std::uint64_t written = 0; written < size;) {
        for (auto& word : block) word = random();
        const auto count = std::min<std::uint64_t>(size - written, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count));
        written += count;
    }
}

// Writes the repositories and starts the hub in a child that serves until
// this process closes the pipe, so that none of the served bytes ever pass
// through this process's memory.
pid_t startHub(const fs::path& root, const std::vector<std::string>& smallNames, int& port, int& keepAlive) {
    int portPipe[2];
    int lifePipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0) std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(portPipe[0]);
        ::close(lifePipe[1]);
        writeRandomFile(root / "models/bench/large/model.bin", kLargeBytes, 1);
        for (std::size_t i = 0; i < smallNames.size(); ++i) {
            writeRandomFile(root / "models/bench/small" / smallNames[i], kSmallBytes, 100 + static_cast<unsigned>(i));
        }
        testsupport::TestHubServer server(root);
        const int serving = server.port();
        if (::write(portPipe[1], &serving, sizeof serving) != sizeof serving) std::_Exit(1);
        char ignored;
        while (::read(lifePipe[0], &ignored, 1) > 0) {
        }
        std::_Exit(0);
    }
    ::close(portPipe[1]);
    ::close(lifePipe[0]);
    if (::read(portPipe[0], &port, sizeof port) != sizeof port) std::exit(1);
    ::close(portPipe[0]);
    keepAlive = lifePipe[1];
    return child;
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double timeCurl(const std::string& configFile) {
    const auto start = Clock::now();
    const std::string command = "curl --silent --show-error --fail --location --noproxy '*' --config " + configFile;
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "curl failed\n");
        std::exit(1);
    }
    return seconds(start);
}

// The listing and every file, as the snapshot asks for them.
std::string curlConfig(const fs::path& file, const std::string& endpoint, const std::string& repo,
                       const std::vector<std::string>& names, const fs::path& into) {
    std::ofstream config(file);
    config << "url = \"" << endpoint << "/api/models/" << repo << "/revision/main\"\noutput = \""
           << (into / "listing.json").string() << "\"\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
        config << "url = \"" << endpoint << testsupport::TestHubServer::resolvePath("models", repo, "main", names[i])
               << "\"\noutput = \"" << (into / std::to_string(i)).string() << "\"\n";
    }
    return file.string();
}

double timeSnapshot(const celvan::HubApi& hub, const std::string& repoId, const std::vector<std::string>& names,
                    std::uint64_t fileSize) {
    const celvan::HubApi::Repo repo{repoId, celvan::HubApi::RepoType::models};
    const auto start = Clock::now();
    const platform::URL folder = hub.snapshot(repo);
    const double elapsed = seconds(start);
    for (const auto& name : names) {
        std::error_code error;
        if (fs::file_size(fs::path(folder.path()) / name, error) != fileSize || error) {
            std::fprintf(stderr, "the snapshot lacks %s\n", name.c_str());
            std::exit(1);
        }
    }
    return elapsed;
}

enum class Contender { curl, client };

struct Phase {
    std::string repo;
    std::vector<std::string> names;
    std::uint64_t fileSize;
    double best[2] = {1e9, 1e9};
};

}  // namespace

int main() {
    const fs::path root = fs::temp_directory_path() / ("hub-bench-" + std::to_string(::getpid()));
    std::vector<std::string> smallNames;
    for (int i = 0; i < kSmallFiles; ++i) smallNames.push_back("part-" + std::to_string(i) + ".json");

    int port = 0;
    int keepAlive = -1;
    const pid_t hubProcess = startHub(root / "server", smallNames, port, keepAlive);
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(port);
    ::setenv("no_proxy", "127.0.0.1", 1);

    Phase phases[] = {{"bench/large", {"model.bin"}, kLargeBytes}, {"bench/small", smallNames, kSmallBytes}};
    for (int round = 0; round < kRounds; ++round) {
        for (Phase& phase : phases) {
            // Each goes first in every other round, so that neither always
            // meets the other's file writes still on their way to the disk.
            for (int turn = 0; turn < 2; ++turn) {
                const auto contender = static_cast<Contender>((round + turn) % 2);
                fs::remove_all(root / "curl");
                fs::remove_all(root / "cache");
                fs::create_directories(root / "curl");
                ::sync();
                double elapsed = 0;
                if (contender == Contender::curl) {
                    elapsed = timeCurl(curlConfig(root / "phase.curl", endpoint, phase.repo, phase.names, root / "curl"));
                } else {
                    // Online by choice: a loopback-only machine has no network to monitor.
                    const celvan::HubApi hub(platform::URL::fileURLWithPath((root / "cache").string(), true), "",
                                             endpoint, false, false);
                    elapsed = timeSnapshot(hub, phase.repo, phase.names, phase.fileSize);
                }
                double& best = phase.best[static_cast<int>(contender)];
                best = std::min(best, elapsed);
            }
        }
    }

    ::close(keepAlive);
    ::waitpid(hubProcess, nullptr, 0);
    fs::remove_all(root);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double mib = 1024.0 * 1024.0;
    const char* labels[] = {"large", "small"};
    for (int i = 0; i < 2; ++i) {
        const Phase& phase = phases[i];
        const double bytes = static_cast<double>(phase.names.size()) * static_cast<double>(phase.fileSize) / mib;
        const double curl = phase.best[static_cast<int>(Contender::curl)];
        const double client = phase.best[static_cast<int>(Contender::client)];
        std::printf("%s_client_mb_per_s: %.1f\n", labels[i], bytes / client);
        std::printf("%s_curl_mb_per_s: %.1f\n", labels[i], bytes / curl);
        std::printf("%s_ratio: %.3f\n", labels[i], curl / client);
    }
    std::printf("client_peak_memory_mb: %.1f\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
