// Downloads one 1 GiB file and 200 small files from a loopback hub through the
// hub file downloader (HEAD metadata, ranged transfer, SHA-256 check, move
// into the cache), and fetches the same bytes from the same server with the
// curl program in the same run. The hub runs in a child process, so the peak
// resident memory of this process is the client's alone.

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

#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubFileDownloader.h"
#include "tests/support/TestHubServer.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kLargeBytes = std::uint64_t(1) << 30;
constexpr int kSmallFiles = 200;
constexpr std::size_t kSmallBytes = 64 * 1024;
constexpr int kRounds = 2;

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

// Starts the hub in a child that serves until this process closes the pipe.
pid_t startHub(const fs::path& root, int& port, int& keepAlive) {
    int portPipe[2];
    int lifePipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0) std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(portPipe[0]);
        ::close(lifePipe[1]);
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

std::string curlConfig(const fs::path& file, const std::string& endpoint, const std::string& repo,
                       const std::vector<std::string>& names, const fs::path& into) {
    std::ofstream config(file);
    for (std::size_t i = 0; i < names.size(); ++i) {
        config << "url = \"" << endpoint << testsupport::TestHubServer::resolvePath("models", repo, "main", names[i])
               << "\"\noutput = \"" << (into / std::to_string(i)).string() << "\"\n";
    }
    return file.string();
}

double timeClient(const celvan::HubApi& hub, const std::string& repoId, const std::vector<std::string>& names) {
    celvan::HubApi::Repo repo{repoId, celvan::HubApi::RepoType::models};
    const auto folder = celvan::repoDestination(hub.downloadBase, repo);
    const auto start = Clock::now();
    for (const auto& name : names) {
        celvan::HubApi::HubFileDownloader file{hub,  repo,        "main",       folder, celvan::repoMetadataDestination(folder),
                                               name, hub.hfToken, hub.endpoint, false};
        file.download({});
    }
    return seconds(start);
}

}  // namespace

int main() {
    const fs::path root = fs::temp_directory_path() / ("hub-bench-" + std::to_string(::getpid()));
    const fs::path served = root / "server" / "models";
    writeRandomFile(served / "bench/large/model.bin", kLargeBytes, 1);
    std::vector<std::string> smallNames;
    for (int i = 0; i < kSmallFiles; ++i) {
        smallNames.push_back("part-" + std::to_string(i) + ".json");
        writeRandomFile(served / "bench/small" / smallNames.back(), kSmallBytes, 100 + static_cast<unsigned>(i));
    }

    int port = 0;
    int keepAlive = -1;
    const pid_t hubProcess = startHub(root / "server", port, keepAlive);
    const std::string endpoint = "http://127.0.0.1:" + std::to_string(port);
    ::setenv("no_proxy", "127.0.0.1", 1);

    double bestCurlLarge = 1e9, bestClientLarge = 1e9, bestCurlSmall = 1e9, bestClientSmall = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        fs::remove_all(root / "curl");
        fs::remove_all(root / "cache");
        fs::create_directories(root / "curl");
        const celvan::HubApi hub(platform::URL::fileURLWithPath((root / "cache").string(), true), "", endpoint);

        bestCurlLarge = std::min(bestCurlLarge, timeCurl(curlConfig(root / "large.curl", endpoint, "bench/large",
                                                                    {"model.bin"}, root / "curl")));
        bestClientLarge = std::min(bestClientLarge, timeClient(hub, "bench/large", {"model.bin"}));
        bestCurlSmall = std::min(bestCurlSmall, timeCurl(curlConfig(root / "small.curl", endpoint, "bench/small",
                                                                    smallNames, root / "curl")));
        bestClientSmall = std::min(bestClientSmall, timeClient(hub, "bench/small", smallNames));
    }

    ::close(keepAlive);
    ::waitpid(hubProcess, nullptr, 0);
    fs::remove_all(root);

    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double mib = 1024.0 * 1024.0;
    const double smallTotal = static_cast<double>(kSmallFiles) * kSmallBytes;
    std::printf("large_client_mb_per_s: %.1f\n", kLargeBytes / mib / bestClientLarge);
    std::printf("large_curl_mb_per_s: %.1f\n", kLargeBytes / mib / bestCurlLarge);
    std::printf("large_ratio: %.3f\n", bestCurlLarge / bestClientLarge);
    std::printf("small_client_mb_per_s: %.1f\n", smallTotal / mib / bestClientSmall);
    std::printf("small_curl_mb_per_s: %.1f\n", smallTotal / mib / bestCurlSmall);
    std::printf("small_ratio: %.3f\n", bestCurlSmall / bestClientSmall);
    std::printf("client_peak_memory_mb: %.1f\n", static_cast<double>(usage.ru_maxrss) / 1024.0);
    return 0;
}
