#include "platform/net/URLSession.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>

#include "platform/concurrency/Task.h"
#include "platform/crypto/SHA256.h"
#include "tests/support/TestHubServer.h"

namespace platform {
namespace {

using testsupport::HubFault;
using testsupport::TestHubServer;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kLargeSize = 3 * 1024 * 1024 + 17;

std::string patterned(std::size_t size) {
    std::string content(size, '\0');
    for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 7919) % 251);
    return content;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class URLSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("urlsession-test-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        auto repo = root_ / "models" / "owner" / "name";
        std::filesystem::create_directories(repo / "a");
        write(repo / "config.json", small_);
        write(repo / "a" / "b.txt", "nested");
        write(repo / "weights.bin", large_);
        server_ = std::make_unique<TestHubServer>(root_);
    }
    void TearDown() override {
        server_.reset();
        std::filesystem::remove_all(root_);
    }

    static void write(const std::filesystem::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    std::string url(const std::string& file, const std::string& host = "127.0.0.1") const {
        return server_->endpoint(host) + TestHubServer::resolvePath("models", "owner/name", "main", file);
    }
    static std::string path(const std::string& file) {
        return TestHubServer::resolvePath("models", "owner/name", "main", file);
    }
    HubFault fault(HubFault::Kind kind, const std::string& file) const {
        HubFault f;
        f.kind = kind;
        f.path = path(file);
        return f;
    }

    std::filesystem::path root_;
    std::unique_ptr<TestHubServer> server_;
    const std::string small_ = "{\"model_type\": \"whisper\"}";
    const std::string large_ = patterned(kLargeSize);
    std::shared_ptr<URLSession> session_ = URLSession::make(URLSessionConfiguration::defaultConfiguration());
};

URLError::Code failureOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const URLError& error) {
        return error.code();
    }
    ADD_FAILURE() << "expected a URLError";
    return URLError::Code::unknown;
}

TEST_F(URLSessionTest, GetAndHeadReturnStatusHeadersAndBody) {
    auto [body, response] = session_->data(URLRequest(url("config.json")));
    EXPECT_EQ(text(body), small_);
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(response.url, url("config.json"));
    EXPECT_EQ(response.value("x-repo-commit"), server_->commit("models", "owner/name"));
    EXPECT_TRUE(response.value("ETag").has_value());

    URLRequest head(url("config.json"));
    head.httpMethod = "HEAD";
    auto [headBody, headResponse] = session_->data(head);
    EXPECT_TRUE(headBody.empty());
    EXPECT_EQ(headResponse.statusCode, 200);
    EXPECT_EQ(headResponse.value("Content-Length"), std::to_string(small_.size()));
    EXPECT_EQ(server_->requestCount("HEAD", path("config.json")), 1);
    EXPECT_EQ(server_->requestCount("GET", path("config.json")), 1);
}

TEST_F(URLSessionTest, SendsRequestHeadersExactlyAsGiven) {
    URLRequest request(url("config.json"));
    request.setValue("Bearer ", "Authorization");
    request.setValue("identity", "Accept-Encoding");
    request.setValue("bytes=5-", "Range");
    auto [body, response] = session_->data(request);
    EXPECT_EQ(response.statusCode, 206);
    EXPECT_EQ(text(body), small_.substr(5));

    auto recorded = server_->requests().back();
    // The server trims the optional white space after a value, as HTTP allows.
    std::vector<std::pair<std::string, std::string>> expected = {
        {"Accept-Encoding", "identity"},
        {"Authorization", "Bearer"},
        {"Host", "127.0.0.1:" + std::to_string(server_->port())},
        {"Range", "bytes=5-"},
    };
    auto sent = recorded.headers;
    std::sort(sent.begin(), sent.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sent, expected);
}

TEST_F(URLSessionTest, HeaderFieldsThatWouldSplitTheRequestAreRefused) {
    for (auto [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"X-Evil", "a\r\nInjected: yes"}, {"Bad:Name", "x"}, {"", "x"}}) {
        URLRequest request(url("config.json"));
        request.allHTTPHeaderFields.setValue(name, value);
        EXPECT_EQ(failureOf([&] { session_->data(request); }), URLError::Code::badURL) << name;
    }
    EXPECT_EQ(server_->requestCount("GET"), 0);
}

TEST_F(URLSessionTest, ErrorStatusesAreAnswersNotFailures) {
    for (int status : {401, 403, 404, 416, 429, 500}) {
        HubFault reply = fault(HubFault::Kind::reply, "config.json");
        reply.status = status;
        reply.body = "{\"error\":\"no\"}";
        reply.times = 1;
        server_->addFault(reply);
        auto [body, response] = session_->data(URLRequest(url("config.json")));
        EXPECT_EQ(response.statusCode, status);
        EXPECT_EQ(text(body), "{\"error\":\"no\"}");
    }
    auto [body, response] = session_->data(URLRequest(url("missing.json")));
    EXPECT_EQ(response.statusCode, 404);
}

TEST_F(URLSessionTest, RangesAnsweredAsTheServerChose) {
    struct Case {
        const char* name;
        std::optional<HubFault::Kind> kind;
        std::uint64_t bytes;
        std::string range;
        int status;
        std::string body;
        std::optional<std::string> contentRange;
    };
    const std::vector<Case> cases = {
        {"honoured", std::nullopt, 0, "bytes=3-", 206, small_.substr(3), "bytes 3-" + std::to_string(small_.size() - 1) + "/" + std::to_string(small_.size())},
        {"past the end", std::nullopt, 0, "bytes=1000-", 416, "", "bytes */" + std::to_string(small_.size())},
        {"ignored", HubFault::Kind::ignoreRange, 0, "bytes=3-", 200, small_, std::nullopt},
        {"misplaced", HubFault::Kind::wrongContentRange, 2, "bytes=3-", 206, small_.substr(5), "bytes 5-" + std::to_string(small_.size() - 1) + "/" + std::to_string(small_.size())},
        {"cut short", HubFault::Kind::bodyLength, 4, "", 200, small_.substr(0, 4), std::nullopt},
        {"padded", HubFault::Kind::bodyLength, small_.size() + 3, "", 200, small_ + std::string(3, '\0'), std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.kind) {
            HubFault f = fault(*c.kind, "config.json");
            f.bytes = c.bytes;
            f.times = 1;
            server_->addFault(f);
        }
        URLRequest request(url("config.json"));
        if (!c.range.empty()) request.setValue(c.range, "Range");
        auto [body, response] = session_->data(request);
        EXPECT_EQ(response.statusCode, c.status) << c.name;
        EXPECT_EQ(text(body), c.body) << c.name;
        EXPECT_EQ(response.value("Content-Range"), c.contentRange) << c.name;
    }
}

TEST_F(URLSessionTest, HeaderFaultsReachTheCaller) {
    HubFault omit = fault(HubFault::Kind::omitHeader, "config.json");
    omit.header = "ETag";
    HubFault chunked = omit;
    chunked.header = "Content-Length";
    HubFault garbage = fault(HubFault::Kind::setHeader, "config.json");
    garbage.header = "X-Linked-Size";
    garbage.value = "12a";
    for (const auto& f : {omit, chunked, garbage}) server_->addFault(f);

    auto [body, response] = session_->data(URLRequest(url("config.json")));
    EXPECT_EQ(text(body), small_);
    EXPECT_FALSE(response.value("ETag"));
    EXPECT_FALSE(response.value("Content-Length"));
    EXPECT_EQ(response.value("x-linked-size"), "12a");
}

TEST_F(URLSessionTest, FollowsRedirectsAndKeepsCredentialsOnTheirHost) {
    URLRequest request(url("weights.bin"));
    request.setValue("Bearer secret", "Authorization");
    auto [body, response] = session_->data(request);
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(body.size(), kLargeSize);
    EXPECT_NE(response.url.find("/lfs/"), std::string::npos);
    EXPECT_EQ(server_->requests().back().header("Authorization"), "Bearer secret");

    server_->clearRequests();
    HubFault elsewhere = fault(HubFault::Kind::redirectToHost, "config.json");
    elsewhere.value = "localhost";
    elsewhere.times = 1;
    server_->addFault(elsewhere);
    URLRequest moved(url("config.json"));
    moved.setValue("Bearer secret", "Authorization");
    moved.setValue("kept", "X-Other");
    auto [movedBody, movedResponse] = session_->data(moved);
    EXPECT_EQ(text(movedBody), small_);
    EXPECT_EQ(movedResponse.url, url("config.json", "localhost"));
    auto requests = server_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer secret");
    EXPECT_FALSE(requests[1].header("Authorization"));
    EXPECT_EQ(requests[1].header("X-Other"), "kept");
}

TEST_F(URLSessionTest, RelativeRedirectResolvesAgainstTheCurrentAddress) {
    HubFault moved = fault(HubFault::Kind::relativeRedirect, "config.json");
    moved.status = 307;
    moved.value = path("a/b.txt") + "?from=moved";
    server_->addFault(moved);
    auto [body, response] = session_->data(URLRequest(url("config.json")));
    EXPECT_EQ(text(body), "nested");
    EXPECT_EQ(response.url, url("a/b.txt") + "?from=moved");
}

class RecordingDelegate : public URLSessionDelegate {
public:
    std::optional<URLRequest> willPerformHTTPRedirection(URLSessionTask& task, const HTTPURLResponse& response,
                                                         URLRequest newRequest) override {
        redirects.push_back({task.originalRequest().url, response.statusCode, newRequest.url});
        if (!follow) return std::nullopt;
        return newRequest;
    }
    void didWriteData(URLSessionTask&, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite) override {
        written += bytesWritten;
        lastTotal = totalBytesWritten;
        expected = totalBytesExpectedToWrite;
    }
    void didFinishDownloadingTo(URLSessionTask&, const std::filesystem::path& location) override {
        finishedAt = location;
        finishedSize = std::filesystem::file_size(location);
    }
    void didCompleteWithError(URLSessionTask&, const URLError* error) override {
        ++completions;
        if (error) errorCode = error->code();
    }

    struct Redirect {
        std::string original;
        int status;
        std::string proposed;
    };
    bool follow = true;
    std::vector<Redirect> redirects;
    std::int64_t written = 0, lastTotal = 0, expected = 0;
    std::optional<std::filesystem::path> finishedAt;
    std::uintmax_t finishedSize = 0;
    int completions = 0;
    std::optional<URLError::Code> errorCode;
};

TEST_F(URLSessionTest, DelegateThatDeclinesARedirectGetsTheRedirectAnswer) {
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->follow = false;
    auto session = URLSession::make(URLSessionConfiguration::defaultConfiguration(), delegate);
    URLRequest head(url("weights.bin"));
    head.httpMethod = "HEAD";
    auto [body, response] = session->data(head);
    EXPECT_EQ(response.statusCode, 302);
    EXPECT_NE(response.value("Location")->find("/lfs/"), std::string::npos);
    EXPECT_EQ(response.value("X-Linked-Size"), std::to_string(kLargeSize));
    ASSERT_EQ(delegate->redirects.size(), 1u);
    EXPECT_EQ(delegate->redirects[0].original, url("weights.bin"));
    EXPECT_EQ(delegate->redirects[0].proposed, *response.value("Location"));
}

TEST_F(URLSessionTest, RedirectLoopStopsAtTheCap) {
    HubFault loop = fault(HubFault::Kind::relativeRedirect, "config.json");
    loop.value = path("config.json");
    server_->addFault(loop);
    URLSessionConfiguration configuration;
    configuration.httpMaximumRedirects = 3;
    auto session = URLSession::make(configuration);
    EXPECT_EQ(failureOf([&] { session->data(URLRequest(url("config.json"))); }),
              URLError::Code::httpTooManyRedirects);
    EXPECT_EQ(server_->requestCount("GET", path("config.json")), 4);
}

TEST_F(URLSessionTest, ServesOnlyHttpAndHttpsAddresses) {
    for (const std::string address : {"ftp://127.0.0.1/x", "file:///etc/passwd", "gopher://127.0.0.1/", "dict://x/",
                                      "127.0.0.1/no-scheme", "not a url"}) {
        auto code = failureOf([&] { session_->data(URLRequest(address)); });
        EXPECT_TRUE(code == URLError::Code::unsupportedURL) << address;
    }
    for (const std::string target : {"file:///etc/passwd", "ftp://127.0.0.1/x"}) {
        HubFault away = fault(HubFault::Kind::relativeRedirect, "config.json");
        away.value = target;
        away.times = 1;
        server_->addFault(away);
        EXPECT_EQ(failureOf([&] { session_->data(URLRequest(url("config.json"))); }), URLError::Code::unsupportedURL)
            << target;
    }
}

TEST_F(URLSessionTest, TransportFailuresAreTyped) {
    EXPECT_EQ(failureOf([&] { session_->data(URLRequest("https://127.0.0.1:" + std::to_string(server_->port()) + "/")); }),
              URLError::Code::secureConnectionFailed);

    int closedPort;
    {
        TestHubServer gone(root_);
        closedPort = gone.port();
    }
    EXPECT_EQ(failureOf([&] { session_->data(URLRequest("http://127.0.0.1:" + std::to_string(closedPort) + "/")); }),
              URLError::Code::cannotConnectToHost);
}

// Answers the first request of every connection and keeps the connection
// open, then resets it when a second request comes over it: what a server
// does that closes an idle connection just as the client reuses it.
class ResetOnReuseServer {
public:
    ResetOnReuseServer() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 8) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ResetOnReuseServer() {
        stopping_ = true;
        thread_.join();
        ::close(listener_);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/file"; }
    int connections() const { return connections_; }

private:
    bool readable(int socket) const {
        while (!stopping_) {
            pollfd watched{socket, POLLIN, 0};
            if (::poll(&watched, 1, 20) > 0) return true;
        }
        return false;
    }

    // One request head, or false when the client closed or the test ends.
    bool readRequest(int connection) const {
        std::string head;
        char buffer[4096];
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!readable(connection)) return false;
            const ssize_t count = ::recv(connection, buffer, sizeof buffer, 0);
            if (count <= 0) return false;
            head.append(buffer, static_cast<std::size_t>(count));
        }
        return true;
    }

    void serve() {
        while (readable(listener_)) {
            const int connection = ::accept(listener_, nullptr, nullptr);
            if (connection < 0) continue;
            ++connections_;
            if (readRequest(connection)) {
                const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
                (void)!::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
                if (readRequest(connection)) {
                    const linger reset{1, 0};
                    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                }
            }
            ::close(connection);
        }
    }

    int listener_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// The transport itself repeats such a request on a new connection, since
// nothing of an answer came back; the hub's HEAD and GET requests rely on it.
TEST_F(URLSessionTest, ARequestThatMeetsAResetPooledConnectionGoesOutAgainOnANewOne) {
    for (const std::string method : {"GET", "HEAD"}) {
        ResetOnReuseServer server;
        auto session = URLSession::make(URLSessionConfiguration::defaultConfiguration());
        URLRequest request(server.url());
        request.httpMethod = method;
        EXPECT_EQ(session->data(request).second.statusCode, 200) << method;
        auto [body, response] = session->data(request);
        EXPECT_EQ(response.statusCode, 200) << method;
        EXPECT_EQ(text(body), method == "HEAD" ? "" : "ok") << method;
        EXPECT_EQ(server.connections(), 2) << method;
    }
}

TEST_F(URLSessionTest, DroppedConnectionFailsAfterTheBytesThatArrived) {
    HubFault drop = fault(HubFault::Kind::dropAfterBytes, "a/b.txt");
    drop.bytes = 3;
    server_->addFault(drop);
    auto stream = session_->bytes(URLRequest(url("a/b.txt")));
    EXPECT_EQ(stream.response().value("Content-Length"), "6");
    std::string received;
    auto code = failureOf([&] {
        for (auto piece = stream.next(); !piece.empty(); piece = stream.next()) received.append(piece.begin(), piece.end());
    });
    EXPECT_EQ(code, URLError::Code::networkConnectionLost);
    EXPECT_EQ(received, "nes");
}

TEST_F(URLSessionTest, IdleTimeoutFailsAStalledTransferButNeverASlowSteadyOne) {
    struct Case {
        const char* name;
        HubFault::Kind kind;
        std::uint64_t bytes;
        double seconds;
        std::optional<URLError::Code> failure;
    };
    const std::vector<Case> cases = {
        {"stall before the head", HubFault::Kind::stallBeforeHead, 0, 20, URLError::Code::timedOut},
        {"stall inside the body", HubFault::Kind::stallAfterBytes, 4000, 20, URLError::Code::timedOut},
        {"slow but steady", HubFault::Kind::trickle, 700, 0.25, std::nullopt},
    };
    for (const auto& c : cases) {
        server_->clearFaults();
        HubFault f = fault(c.kind, "a/b.txt");
        f.bytes = c.bytes;
        f.seconds = c.seconds;
        server_->addFault(f);
        HubFault longer = fault(HubFault::Kind::bodyLength, "a/b.txt");
        longer.bytes = 6000;
        server_->addFault(longer);

        URLRequest request(url("a/b.txt"));
        request.timeoutInterval = 1;
        const auto started = Clock::now();
        std::size_t received = 0;
        std::optional<URLError::Code> failure;
        try {
            auto stream = session_->bytes(request);
            for (auto piece = stream.next(); !piece.empty(); piece = stream.next()) received += piece.size();
        } catch (const URLError& error) {
            failure = error.code();
        }
        EXPECT_EQ(failure, c.failure) << c.name;
        if (!c.failure) {
            EXPECT_EQ(received, 6000u) << c.name;
            EXPECT_GT(Clock::now() - started, std::chrono::seconds(1)) << c.name << ": the transfer outlasted the timeout";
        } else {
            EXPECT_LT(Clock::now() - started, std::chrono::duration<double>(c.seconds)) << c.name << ": gave up before the server";
        }
    }
}

TEST_F(URLSessionTest, CancellationStopsAStalledTransferPromptly) {
    enum class Canceller { sessionTask, suspendedSessionTask, wholeSession, callersTask };
    for (Canceller canceller : {Canceller::sessionTask, Canceller::suspendedSessionTask, Canceller::wholeSession,
                                Canceller::callersTask}) {
        server_->clearFaults();
        HubFault stall = fault(HubFault::Kind::stallAfterBytes, "weights.bin");
        stall.bytes = 1000;
        stall.seconds = 30;
        stall.path = std::string("/lfs/models/owner/name/weights.bin");
        server_->addFault(stall);

        auto session = URLSession::make(URLSessionConfiguration::defaultConfiguration());
        std::promise<std::shared_ptr<URLSessionTask>> started;
        auto taskFuture = started.get_future();
        Task<URLError::Code> reader([&] {
            auto stream = session->bytes(URLRequest(url("weights.bin")));
            started.set_value(stream.task());
            return failureOf([&] {
                while (!stream.next().empty()) {
                }
            });
        });
        auto task = taskFuture.get();
        ASSERT_EQ(session->allTasks().size(), 1u);
        EXPECT_EQ(session->allTasks()[0]->originalRequest().url, url("weights.bin"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));

        const auto cancelled = Clock::now();
        switch (canceller) {
            case Canceller::sessionTask: task->cancel(); break;
            case Canceller::suspendedSessionTask:
                task->suspend();
                task->cancel();
                break;
            case Canceller::wholeSession: session->invalidateAndCancel(); break;
            case Canceller::callersTask: reader.cancel(); break;
        }
        EXPECT_EQ(reader.value(), URLError::Code::cancelled);
        EXPECT_LT(Clock::now() - cancelled, std::chrono::seconds(5));
        EXPECT_TRUE(session->allTasks().empty());
    }
}

TEST_F(URLSessionTest, InvalidatedSessionRefusesNewRequests) {
    auto session = URLSession::make(URLSessionConfiguration::defaultConfiguration());
    session->invalidateAndCancel();
    EXPECT_EQ(failureOf([&] { session->data(URLRequest(url("config.json"))); }), URLError::Code::cancelled);
    EXPECT_EQ(server_->requestCount("GET"), 0);
}

TEST_F(URLSessionTest, LargeBodiesStreamInBoundedPieces) {
    auto stream = session_->bytes(URLRequest(url("weights.bin")));
    SHA256 hasher;
    std::size_t total = 0;
    std::size_t largest = 0;
    for (auto piece = stream.next(); !piece.empty(); piece = stream.next()) {
        hasher.update(piece);
        total += piece.size();
        largest = std::max(largest, piece.size());
    }
    EXPECT_EQ(total, kLargeSize);
    EXPECT_EQ(hasher.finalize(), SHA256::hash(large_));
    EXPECT_LE(largest, std::size_t{2} << 20);
}

TEST_F(URLSessionTest, ReadingIntoBuffersOfAnySizeBringsTheWholeBodyInOrder) {
    for (std::size_t room : {std::size_t{1}, std::size_t{1000}, std::size_t{300000}, std::size_t{8} << 20}) {
        auto stream = session_->bytes(URLRequest(url("weights.bin")));
        std::vector<std::uint8_t> buffer(room);
        std::string body;
        for (std::size_t count = stream.read(buffer); count > 0; count = stream.read(buffer)) {
            ASSERT_LE(count, room);
            body.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
        }
        EXPECT_TRUE(body == large_) << "room " << room << ", got " << body.size() << " bytes";
        EXPECT_EQ(stream.read(buffer), 0u);
    }

    // Pieces taken after reads come from where the reads stopped; the first
    // read may be served from what came with the head, the second waits for
    // the network.
    auto stream = session_->bytes(URLRequest(url("weights.bin")));
    std::vector<std::uint8_t> buffer(300000);
    std::string body;
    for (int i = 0; i < 2; ++i) {
        const std::size_t count = stream.read(buffer);
        body.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count));
    }
    for (auto piece = stream.next(); !piece.empty(); piece = stream.next()) body.append(piece.begin(), piece.end());
    EXPECT_TRUE(body == large_) << "got " << body.size() << " bytes";
}

// Points the temporary folder at a private one for the life of a test, so a
// count of download files sees no other test process's transfers.
class ScopedTemporaryFolder {
public:
    explicit ScopedTemporaryFolder(const std::filesystem::path& folder) {
        if (const char* old = std::getenv("TMPDIR")) previous_ = old;
        std::filesystem::create_directories(folder);
        ::setenv("TMPDIR", folder.c_str(), 1);
    }
    ~ScopedTemporaryFolder() {
        if (previous_) {
            ::setenv("TMPDIR", previous_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }

private:
    std::optional<std::string> previous_;
};

TEST_F(URLSessionTest, DownloadWritesTheBodyToAFileAndReportsToTheDelegate) {
    ScopedTemporaryFolder temporary(root_ / "tmp");
    auto delegate = std::make_shared<RecordingDelegate>();
    auto session = URLSession::make(URLSessionConfiguration::background("test.downloads"), delegate);
    EXPECT_TRUE(session->configuration().isBackground());
    auto [location, response] = session->download(URLRequest(url("weights.bin")));
    EXPECT_EQ(response.statusCode, 200);
    EXPECT_EQ(SHA256::hashFile(location), SHA256::hash(large_));
    EXPECT_EQ(delegate->written, static_cast<std::int64_t>(kLargeSize));
    EXPECT_EQ(delegate->lastTotal, static_cast<std::int64_t>(kLargeSize));
    EXPECT_EQ(delegate->expected, static_cast<std::int64_t>(kLargeSize));
    EXPECT_EQ(delegate->finishedAt, location);
    EXPECT_EQ(delegate->finishedSize, kLargeSize);
    EXPECT_EQ(delegate->completions, 1);
    EXPECT_FALSE(delegate->errorCode);
    std::filesystem::remove(location);

    HubFault drop = fault(HubFault::Kind::dropAfterBytes, "config.json");
    drop.bytes = 5;
    server_->addFault(drop);
    auto downloads = [] {
        return std::count_if(std::filesystem::directory_iterator(std::filesystem::temp_directory_path()),
                             std::filesystem::directory_iterator(), [](const auto& entry) {
                                 return entry.path().filename().string().rfind("dictaro-download-", 0) == 0;
                             });
    };
    auto before = downloads();
    EXPECT_EQ(failureOf([&] { session->download(URLRequest(url("config.json"))); }),
              URLError::Code::networkConnectionLost);
    auto after = downloads();
    EXPECT_EQ(delegate->completions, 2);
    EXPECT_EQ(delegate->errorCode, URLError::Code::networkConnectionLost);
    EXPECT_EQ(after, before) << "the partial temporary file was left behind";
}

TEST(HTTPHeaderFields, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    HTTPHeaderFields fields;
    fields.setValue("Content-Type", "a");
    fields.setValue("X-One", "1");
    fields.addValue("x-one", "2");
    fields.setValue("CONTENT-TYPE", "b");
    EXPECT_EQ(fields.value("content-type"), "b");
    EXPECT_EQ(fields.value("X-ONE"), "1, 2");
    ASSERT_EQ(fields.fields().size(), 2u);
    EXPECT_EQ(fields.fields()[0].first, "Content-Type");
    fields.remove("x-One");
    EXPECT_FALSE(fields.value("X-One"));
    EXPECT_FALSE(fields.value("Content-Typ"));
}

}  // namespace
}  // namespace platform
