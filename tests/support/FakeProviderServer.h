#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// One request as it reached the server: the header fields in the order and
// spelling the client sent them, and the body.
struct ProviderRequest {
    std::string method;
    std::string target;  // path and query, as sent
    std::string path;    // without the query, still percent-encoded
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::vector<std::string> headerNames() const;
};

// What the server answers to one request.
struct ScriptedAnswer {
    struct Step {
        enum class Kind { write, pause, drop };
        Kind kind = Kind::write;
        std::string bytes;
        std::chrono::milliseconds duration{0};
    };

    int status = 200;
    std::string contentType = "text/event-stream";
    // Silence before the answer's head is sent.
    std::chrono::milliseconds headDelay{0};
    // A status other than 200 sends `errorBody` as a whole; 200 streams the
    // steps, each write as its own chunk, then ends the body properly unless
    // a drop step closed the connection first.
    std::string errorBody;
    // Sent as the "Location" of an answer other than 200, for redirects.
    std::optional<std::string> location;
    std::vector<Step> steps;

    ScriptedAnswer& write(std::string bytes);
    ScriptedAnswer& pause(std::chrono::milliseconds duration);
    ScriptedAnswer& drop();
};

// A language-model provider on 127.0.0.1, started in-process: it answers
// each request with the next answer scripted for its path (or for any path,
// scripted under ""), records every request, and notes when it wrote each
// step so that tests can time the way to the reader. An unscripted request
// gets 404.
class FakeProviderServer {
public:
    using Clock = std::chrono::steady_clock;

    FakeProviderServer();
    ~FakeProviderServer();
    FakeProviderServer(const FakeProviderServer&) = delete;
    FakeProviderServer& operator=(const FakeProviderServer&) = delete;

    // "http://127.0.0.1:<port>".
    std::string endpoint() const;
    int port() const noexcept { return port_; }

    void script(const std::string& path, ScriptedAnswer answer);
    // Without keep-alive every answer closes its connection.
    void setKeepAlive(bool on);
    std::vector<ProviderRequest> requests() const;
    // When each write step of every answer so far left the server.
    std::vector<Clock::time_point> writeTimes() const;
    // Connections the server has accepted so far.
    int connectionCount() const;

private:
    class Server;
    struct StreamState;

    std::optional<ScriptedAnswer> takeAnswer(const std::string& path);
    // Waits `duration`, or less when the server stops. False when stopping.
    bool pauseFor(std::chrono::milliseconds duration);
    void noteWrite();

    std::unique_ptr<Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    bool stopped_ = false;
    std::map<std::string, std::deque<ScriptedAnswer>> answers_;
    std::vector<ProviderRequest> requests_;
    std::vector<Clock::time_point> writeTimes_;
    int connections_ = 0;
};

// The wire forms of the five providers, for scripting answers.
namespace wire {
std::string anthropicText(const std::string& text);
std::string anthropicEnd(const std::string& stopReason = "end_turn");
std::string chatText(const std::string& text);
std::string chatEnd(const std::string& finishReason = "stop");
std::string geminiText(const std::string& text);
std::string geminiEnd(const std::string& finishReason = "STOP");
std::string responsesText(const std::string& text);
std::string responsesEnd();
std::string ollamaText(const std::string& text);
std::string ollamaEnd(const std::string& doneReason = "stop");
// A JSON string literal.
std::string quoted(const std::string& text);
}  // namespace wire

}  // namespace testsupport
