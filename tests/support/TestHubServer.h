#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace testsupport {

// A scripted misbehaviour for the requests it matches: an empty `method`
// matches GET and HEAD, an empty `path` every path. `times` is how many
// requests it spoils before it retires; -1 never retires.
struct HubFault {
    enum class Kind {
        reply,              // answer `status` with `body` and `headers`, nothing else
        dropAfterBytes,     // announce the whole body, send `bytes` of it, close the connection
        stallBeforeHead,    // say nothing for `seconds`, then answer normally
        stallAfterBytes,    // send `bytes` of the body, then nothing for `seconds`, then the rest
        trickle,            // send the body `bytes` at a time, one piece every `seconds`
        omitHeader,         // leave out `header` (Content-Length: send the body chunked)
        setHeader,          // answer with `header` set to `value`
        relativeRedirect,   // answer `status` (302 when 0) with "Location" `value`, a path without host
        redirectToHost,     // answer 302 to the same address with the host replaced by `value`
        ignoreRange,        // answer a ranged GET with 200 and the whole body
        wrongContentRange,  // answer a ranged GET with 206 starting `bytes` past the asked offset
        bodyLength,         // serve `bytes` bytes (cut or zero-padded) with a matching length
        flipByte,           // serve the body with the byte at offset `bytes` inverted
        gzipBody,           // answer with the whole body gzip-compressed, as "Content-Encoding: gzip"
    };

    Kind kind = Kind::reply;
    std::string method;
    std::string path;
    int times = -1;
    int status = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::string header;
    std::string value;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

struct RecordedRequest {
    std::string method;
    std::string path;  // percent-decoded, without the query
    std::string target;  // as sent
    std::vector<std::pair<std::string, std::string>> headers;

    std::optional<std::string> header(const std::string& name) const;
};

// An in-process hub on 127.0.0.1 that serves the repositories under a folder,
// laid out as <root>/<type>/<owner>/<name>/<files>, with <type> one of
// "models", "datasets", "spaces". It speaks the hub protocol: the listing at
// /api/<type>/<owner>/<name>/revision/<revision>, HEAD and GET at
// [/<type>]/<owner>/<name>/resolve/<revision>/<file> (no type for models),
// ranged GETs with 206 and 416. Files of at least `largeFileThreshold`
// bytes are served as large files are: their HEAD answers 302 towards a
// download address with "X-Linked-Etag" (the SHA-256 of the content) and
// "X-Linked-Size", and a GET is redirected there. Smaller files carry the
// git object id as their ETag. Bodies are streamed from disk.
class TestHubServer {
public:
    explicit TestHubServer(std::filesystem::path root, std::uint64_t largeFileThreshold = 1 << 20);
    ~TestHubServer();
    TestHubServer(const TestHubServer&) = delete;
    TestHubServer& operator=(const TestHubServer&) = delete;

    int port() const noexcept { return port_; }
    // "http://127.0.0.1:<port>", or with another host name for the same server.
    std::string endpoint(const std::string& host = "127.0.0.1") const;
    // The request path of a file, e.g. "/owner/name/resolve/main/a.bin".
    static std::string resolvePath(const std::string& type, const std::string& repoId, const std::string& revision,
                                   const std::string& file);

    // Every revision of a repository resolves to this commit; by default one
    // derived from the repository's name.
    void setCommit(const std::string& type, const std::string& repoId, std::string commit);
    std::string commit(const std::string& type, const std::string& repoId) const;

    void addFault(HubFault fault);
    void clearFaults();

    std::vector<RecordedRequest> requests() const;
    int requestCount(const std::string& method, const std::string& path) const;
    int requestCount(const std::string& method) const;
    void clearRequests();

private:
    struct FileTags {
        std::uint64_t size = 0;
        std::filesystem::file_time_type modified;
        std::string etag;
    };

    void handle(const httplib::Request& request, httplib::Response& response);
    void serveListing(const std::string& type, const std::string& repoId, httplib::Response& response);
    void serveFile(const httplib::Request& request, httplib::Response& response, const std::string& type,
                   const std::string& repoId, const std::string& file, bool viaRedirectTarget,
                   const std::vector<HubFault>& faults);
    std::optional<HubFault> takeFault(HubFault::Kind kind, const std::string& method, const std::string& path);
    std::vector<HubFault> takeFaults(const std::string& method, const std::string& path);
    std::string etagOf(const std::filesystem::path& file, bool large);
    void pause(double seconds) const;

    std::filesystem::path root_;
    std::uint64_t largeFileThreshold_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::vector<HubFault> faults_;
    std::vector<RecordedRequest> requests_;
    std::map<std::string, std::string> commits_;
    std::map<std::string, FileTags> tags_;
};

}  // namespace testsupport
