// Streams rewrites from an in-process fake provider on loopback through the
// real formatter, session and line reader, and measures what a user of the
// transcript panel feels: how long a piece the server wrote takes to reach
// the consumer, what reusing one connection saves over a connection per
// rewrite, and how much memory a 1 MB answer costs while it streams (that
// server runs in a child process, so its buffers stay out of this one).

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/formatting/AnthropicFormatter.h"
#include "bench/BenchStatistics.h"
#include "platform/net/URLSession.h"
#include "tests/support/FakeProviderServer.h"

namespace {

using benchsupport::percentile;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using testsupport::FakeProviderServer;
using testsupport::ScriptedAnswer;
namespace wire = testsupport::wire;

constexpr int kLatencyPieces = 300;
constexpr int kRewrites = 200;
constexpr std::size_t kLargeAnswerBytes = 1 << 20;
constexpr std::size_t kLargePieceBytes = 64;

double milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

dictaro::AnthropicFormatter formatterFor(const std::string& endpoint) {
    dictaro::AnthropicFormatter formatter("bench-key", "bench-model");
    formatter.endpoint = endpoint + "/v1/messages";
    return formatter;
}

// Server write to consumer holding the text, for pieces a few milliseconds apart.
std::vector<double> deltaLatencies() {
    FakeProviderServer server;
    ScriptedAnswer answer;
    for (int i = 0; i < kLatencyPieces; ++i) answer.write(wire::anthropicText("piece " + std::to_string(i) + " ")).pause(3ms);
    server.script("", answer.write(wire::anthropicEnd()));
    std::vector<Clock::time_point> received;
    dictaro::FormattingStream stream = formatterFor(server.endpoint()).format("t", {});
    for (const std::string& text : stream) {
        (void)text;
        received.push_back(Clock::now());
    }
    const std::vector<Clock::time_point> written = server.writeTimes();
    std::vector<double> latencies;
    for (std::size_t i = 0; i < received.size() && i < written.size(); ++i) {
        latencies.push_back(milliseconds(received[i] - written[i]));
    }
    if (latencies.size() != static_cast<std::size_t>(kLatencyPieces)) {
        std::fprintf(stderr, "expected %d pieces, got %zu\n", kLatencyPieces, latencies.size());
        std::exit(1);
    }
    return latencies;
}

struct RunTime {
    double milliseconds;
    int connections;
};

RunTime rewritesInARow(bool keepAlive) {
    FakeProviderServer server;
    server.setKeepAlive(keepAlive);
    const dictaro::AnthropicFormatter formatter = formatterFor(server.endpoint());
    for (int i = 0; i < kRewrites; ++i) {
        server.script("", ScriptedAnswer()
                              .write(wire::anthropicText("Hi Colin,\n\n"))
                              .write(wire::anthropicText("the numbers are in."))
                              .write(wire::anthropicEnd()));
    }
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kRewrites; ++i) {
        dictaro::FormattingStream stream = formatter.format("hi colin the numbers are in", {});
        while (stream.next() != nullptr) {
        }
        if (!stream.ending().isComplete()) {
            std::fprintf(stderr, "rewrite %d did not complete: %s\n", i, stream.ending().description().c_str());
            std::exit(1);
        }
    }
    return {milliseconds(Clock::now() - start), server.connectionCount()};
}

// From dropping a stream in the middle of an answer to its transfer's end.
double cancelMilliseconds() {
    FakeProviderServer server;
    server.script("", ScriptedAnswer().write(wire::anthropicText("first")).pause(10s));
    Clock::time_point dropped;
    {
        dictaro::FormattingStream stream = formatterFor(server.endpoint()).format("t", {});
        if (stream.next() == nullptr) std::exit(1);
        dropped = Clock::now();
    }
    while (!platform::URLSession::shared()->allTasks().empty()) std::this_thread::sleep_for(100us);
    return milliseconds(Clock::now() - dropped);
}

// A fake provider in a child process that streams one 1 MB answer.
pid_t startLargeAnswerServer(int& port) {
    int portPipe[2];
    int lifePipe[2];
    if (::pipe(portPipe) != 0 || ::pipe(lifePipe) != 0) std::exit(1);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(portPipe[0]);
        ::close(lifePipe[1]);
        FakeProviderServer server;
        ScriptedAnswer answer;
        const std::string piece(kLargePieceBytes, 'w');
        for (std::size_t sent = 0; sent < kLargeAnswerBytes; sent += piece.size()) answer.write(wire::anthropicText(piece));
        server.script("", answer.write(wire::anthropicEnd()));
        const int serverPort = server.port();
        if (::write(portPipe[1], &serverPort, sizeof serverPort) != sizeof serverPort) std::_Exit(1);
        char ignored;
        while (::read(lifePipe[0], &ignored, 1) > 0) {
        }
        std::_Exit(0);
    }
    ::close(portPipe[1]);
    ::close(lifePipe[0]);
    if (::read(portPipe[0], &port, sizeof port) != sizeof port) std::exit(1);
    ::close(portPipe[0]);
    return child;
}

double peakResidentMB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main() {
    int port = 0;
    const pid_t largeServer = startLargeAnswerServer(port);

    const std::vector<double> latencies = deltaLatencies();
    const RunTime reused = rewritesInARow(true);
    const RunTime fresh = rewritesInARow(false);
    std::vector<double> cancels;
    for (int i = 0; i < 5; ++i) cancels.push_back(cancelMilliseconds());

    const double peakBefore = peakResidentMB();
    std::size_t received = 0;
    dictaro::FormattingStream stream = formatterFor("http://127.0.0.1:" + std::to_string(port)).format("t", {});
    for (const std::string& text : stream) received = text.size();
    const double peakAfter = peakResidentMB();
    ::kill(largeServer, SIGTERM);
    ::waitpid(largeServer, nullptr, 0);
    if (received < kLargeAnswerBytes || !stream.ending().isComplete()) {
        std::fprintf(stderr, "the 1 MB answer arrived as %zu bytes\n", received);
        return 1;
    }

    std::printf("%d pieces 3 ms apart; %d rewrites of 2 pieces in a row\n", kLatencyPieces, kRewrites);
    std::printf("delta_latency_p50_ms: %.3f\n", percentile(latencies, 0.5));
    std::printf("delta_latency_p95_ms: %.3f\n", percentile(latencies, 0.95));
    std::printf("delta_latency_max_ms: %.3f\n", percentile(latencies, 1.0));
    std::printf("rewrites_reused_ms: %.1f\n", reused.milliseconds);
    std::printf("rewrites_reused_connections: %d\n", reused.connections);
    std::printf("rewrites_fresh_ms: %.1f\n", fresh.milliseconds);
    std::printf("rewrites_fresh_connections: %d\n", fresh.connections);
    std::printf("reuse_speedup: %.2f\n", fresh.milliseconds / reused.milliseconds);
    std::printf("cancel_ms_worst_of_5: %.2f\n", percentile(cancels, 1.0));
    std::printf("large_answer_peak_added_mb: %.1f\n", peakAfter - peakBefore);
    std::printf("peak_memory_mb: %.1f\n", peakAfter);
    return 0;
}
