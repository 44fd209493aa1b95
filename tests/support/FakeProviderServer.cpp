#include "tests/support/FakeProviderServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

constexpr int kKeepAliveMilliseconds = 5000;
constexpr int kPollSliceMilliseconds = 50;
// Enough requests on one connection that a test never sees it renewed.
constexpr std::size_t kKeepAliveRequests = 100000;

// The bytes read on the current connection since its last request began;
// the handler runs on the connection's thread and finds its request's head
// here, with the header fields in the order they were sent.
thread_local std::string* currentRawRequest = nullptr;

std::vector<std::pair<std::string, std::string>> headersInOrder(const std::string& raw) {
    std::vector<std::pair<std::string, std::string>> headers;
    const std::size_t headEnd = raw.find("\r\n\r\n");
    std::size_t start = raw.find("\r\n");
    while (start != std::string::npos && start < headEnd) {
        start += 2;
        const std::size_t end = raw.find("\r\n", start);
        const std::string line = raw.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::size_t valueStart = colon + 1;
            while (valueStart < line.size() && line[valueStart] == ' ') ++valueStart;
            headers.emplace_back(line.substr(0, colon), line.substr(valueStart));
        }
        start = end;
    }
    return headers;
}

}  // namespace

std::vector<std::string> ProviderRequest::headerNames() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : headers) names.push_back(name);
    return names;
}

ScriptedAnswer& ScriptedAnswer::write(std::string bytes) {
    steps.push_back({Step::Kind::write, std::move(bytes), {}});
    return *this;
}

ScriptedAnswer& ScriptedAnswer::pause(std::chrono::milliseconds duration) {
    steps.push_back({Step::Kind::pause, {}, duration});
    return *this;
}

ScriptedAnswer& ScriptedAnswer::drop() {
    steps.push_back({Step::Kind::drop, {}, {}});
    return *this;
}

// httplib's server over a stream of our own, which keeps what it reads so
// that the header order survives httplib's sorted header map.
class FakeProviderServer::Server : public httplib::Server {
public:
    explicit Server(FakeProviderServer& owner) : owner_(owner) {}

private:
    class RecordingStream : public httplib::Stream {
    public:
        explicit RecordingStream(socket_t socket) : socket_(socket) {}

        bool waitReadable(int milliseconds, const std::atomic<socket_t>& listening) const {
            for (int waited = 0; waited < milliseconds; waited += kPollSliceMilliseconds) {
                if (listening == INVALID_SOCKET) return false;
                if (poll(POLLIN, kPollSliceMilliseconds)) return true;
            }
            return false;
        }
        bool is_readable() const override { return poll(POLLIN, kKeepAliveMilliseconds); }
        bool is_writable() const override { return poll(POLLOUT, kKeepAliveMilliseconds); }
        ssize_t read(char* ptr, size_t size) override {
            if (!is_readable()) return -1;
            const ssize_t count = ::recv(socket_, ptr, size, 0);
            if (count > 0) raw.append(ptr, static_cast<std::size_t>(count));
            return count;
        }
        ssize_t write(const char* ptr, size_t size) override {
            if (!is_writable()) return -1;
            return ::send(socket_, ptr, size, MSG_NOSIGNAL);
        }
        void get_remote_ip_and_port(std::string& ip, int& port) const override {
            ip = "127.0.0.1";
            port = 0;
        }
        void get_local_ip_and_port(std::string& ip, int& port) const override {
            ip = "127.0.0.1";
            port = 0;
        }
        socket_t socket() const override { return socket_; }

        std::string raw;

    private:
        bool poll(short events, int milliseconds) const {
            pollfd entry{socket_, events, 0};
            return ::poll(&entry, 1, milliseconds) > 0;
        }
        socket_t socket_;
    };

    bool process_and_close_socket(socket_t socket) override {
        {
            std::lock_guard lock(owner_.mutex_);
            ++owner_.connections_;
        }
        RecordingStream stream(socket);
        bool ok = true;
        for (std::size_t left = keep_alive_max_count_; ok && left > 0; --left) {
            if (!stream.waitReadable(kKeepAliveMilliseconds, svr_sock_)) break;
            bool closed = false;
            currentRawRequest = &stream.raw;
            ok = process_request(stream, left == 1, closed, [](httplib::Request&) {});
            currentRawRequest = nullptr;
            if (closed) break;
        }
        ::shutdown(socket, SHUT_RDWR);
        ::close(socket);
        return ok;
    }

    FakeProviderServer& owner_;
};

FakeProviderServer::FakeProviderServer() : server_(std::make_unique<Server>(*this)) {
    auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        ProviderRequest recorded{request.method, request.target, request.path, {}, request.body};
        if (currentRawRequest != nullptr) {
            recorded.headers = headersInOrder(*currentRawRequest);
            currentRawRequest->clear();
        }
        recorded.path = request.target.substr(0, request.target.find('?'));
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(recorded);
        }
        std::optional<ScriptedAnswer> answer = takeAnswer(recorded.path);
        if (!answer) {
            response.status = 404;
            response.set_content("{\"error\":\"not scripted\"}", "application/json");
            return;
        }
        if (!pauseFor(answer->headDelay)) return;
        response.status = answer->status;
        if (answer->status != 200) {
            if (answer->location) response.set_header("Location", *answer->location);
            response.set_content(answer->errorBody, "application/json");
            return;
        }
        auto steps = std::make_shared<std::vector<ScriptedAnswer::Step>>(std::move(answer->steps));
        response.set_chunked_content_provider(answer->contentType, [this, steps](std::size_t, httplib::DataSink& sink) {
            for (const ScriptedAnswer::Step& step : *steps) {
                switch (step.kind) {
                    case ScriptedAnswer::Step::Kind::write:
                        if (!sink.write(step.bytes.data(), step.bytes.size())) return false;
                        noteWrite();
                        break;
                    case ScriptedAnswer::Step::Kind::pause:
                        if (!pauseFor(step.duration)) return false;
                        break;
                    case ScriptedAnswer::Step::Kind::drop: return false;
                }
            }
            sink.done();
            return true;
        });
    };
    server_->Get(".*", handler);
    server_->Post(".*", handler);
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_max_count(kKeepAliveRequests);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the fake provider cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

FakeProviderServer::~FakeProviderServer() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    stopping_.notify_all();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

std::string FakeProviderServer::endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }

void FakeProviderServer::script(const std::string& path, ScriptedAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_[path].push_back(std::move(answer));
}

void FakeProviderServer::setKeepAlive(bool on) { server_->set_keep_alive_max_count(on ? kKeepAliveRequests : 1); }

std::vector<ProviderRequest> FakeProviderServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<FakeProviderServer::Clock::time_point> FakeProviderServer::writeTimes() const {
    std::lock_guard lock(mutex_);
    return writeTimes_;
}

int FakeProviderServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::optional<ScriptedAnswer> FakeProviderServer::takeAnswer(const std::string& path) {
    std::lock_guard lock(mutex_);
    for (const std::string& key : {path, std::string()}) {
        auto found = answers_.find(key);
        if (found == answers_.end() || found->second.empty()) continue;
        ScriptedAnswer answer = std::move(found->second.front());
        found->second.pop_front();
        return answer;
    }
    return std::nullopt;
}

bool FakeProviderServer::pauseFor(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    stopping_.wait_for(lock, duration, [this] { return stopped_; });
    return !stopped_;
}

void FakeProviderServer::noteWrite() {
    std::lock_guard lock(mutex_);
    writeTimes_.push_back(Clock::now());
}

namespace wire {

std::string quoted(const std::string& text) { return nlohmann::json(text).dump(); }

std::string anthropicText(const std::string& text) {
    return "event: content_block_delta\ndata: {\"type\":\"content_block_delta\",\"index\":0,\"delta\":{\"type\":"
           "\"text_delta\",\"text\":" + quoted(text) + "}}\n\n";
}

std::string anthropicEnd(const std::string& stopReason) {
    return "event: message_delta\ndata: {\"type\":\"message_delta\",\"delta\":{\"stop_reason\":" + quoted(stopReason) +
           ",\"stop_sequence\":null},\"usage\":{\"output_tokens\":3}}\n\n"
           "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n";
}

std::string chatText(const std::string& text) {
    return "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{\"content\":" + quoted(text) + "}}]}\n\n";
}

std::string chatEnd(const std::string& finishReason) {
    return "data: {\"id\":\"c1\",\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":" + quoted(finishReason) +
           "}]}\n\ndata: [DONE]\n\n";
}

std::string geminiText(const std::string& text) {
    return "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":" + quoted(text) + "}],\"role\":\"model\"}}]}\r\n\r\n";
}

std::string geminiEnd(const std::string& finishReason) {
    return "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"\"}],\"role\":\"model\"},\"finishReason\":" +
           quoted(finishReason) + "}]}\r\n\r\n";
}

std::string responsesText(const std::string& text) {
    return "event: response.output_text.delta\ndata: {\"type\":\"response.output_text.delta\",\"delta\":" +
           quoted(text) + "}\n\n";
}

std::string responsesEnd() {
    return "event: response.completed\ndata: {\"type\":\"response.completed\",\"response\":{\"status\":\"completed\"}}\n\n";
}

std::string ollamaText(const std::string& text) {
    return "{\"model\":\"m\",\"message\":{\"role\":\"assistant\",\"content\":" + quoted(text) + "},\"done\":false}\n";
}

std::string ollamaEnd(const std::string& doneReason) {
    return "{\"model\":\"m\",\"message\":{\"role\":\"assistant\",\"content\":\"\"},\"done\":true,\"done_reason\":" +
           quoted(doneReason) + "}\n";
}

}  // namespace wire

}  // namespace testsupport
