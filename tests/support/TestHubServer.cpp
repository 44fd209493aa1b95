#include "tests/support/TestHubServer.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <fstream>
#include <stdexcept>

#include "platform/crypto/SHA256.h"

namespace testsupport {

namespace {

constexpr std::size_t kPieceSize = 1 << 20;

std::string percentDecode(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int value = 0;
            auto [end, error] = std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
            if (error == std::errc() && end == text.data() + i + 3) {
                decoded.push_back(static_cast<char>(value));
                i += 2;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

std::string percentEncodeSegment(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[c >> 4]);
            encoded.push_back(kDigits[c & 15]);
        }
    }
    return encoded;
}

std::vector<std::string> decodedSegments(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::vector<std::string> segments;
    std::size_t start = 1;
    while (start <= target.size()) {
        std::size_t end = target.find('/', start);
        if (end == std::string_view::npos) end = target.size();
        segments.push_back(percentDecode(target.substr(start, end - start)));
        start = end + 1;
    }
    return segments;
}

std::string join(const std::vector<std::string>& parts, std::size_t from, std::size_t to) {
    std::string joined;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) joined += '/';
        joined += parts[i];
    }
    return joined;
}

bool namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool isRepoType(const std::string& text) { return text == "models" || text == "datasets" || text == "spaces"; }

bool isSafeFilePath(const std::vector<std::string>& segments, std::size_t from) {
    if (from >= segments.size()) return false;
    for (std::size_t i = from; i < segments.size(); ++i) {
        if (segments[i].empty() || segments[i] == "." || segments[i] == "..") return false;
    }
    return true;
}

std::string hexOf(const unsigned char* bytes, unsigned length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::string sha1Hex(const std::vector<std::string_view>& pieces) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha1(), nullptr);
    for (auto piece : pieces) EVP_DigestUpdate(context, piece.data(), piece.size());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    return hexOf(digest, length);
}

// The object id git gives a file: SHA-1 over "blob <size>\0" and the content.
std::string gitBlobId(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string header = "blob " + std::to_string(content.size());
    return sha1Hex({header, std::string_view("\0", 1), content});
}

struct Range {
    std::uint64_t start = 0;
    std::optional<std::uint64_t> end;
};

std::optional<Range> parseRange(const std::string& header) {
    constexpr std::string_view prefix = "bytes=";
    if (header.rfind(prefix, 0) != 0) return std::nullopt;
    std::string_view rangeText = std::string_view(header).substr(prefix.size());
    auto dash = rangeText.find('-');
    if (dash == std::string_view::npos || dash == 0) return std::nullopt;
    Range range;
    auto [end, error] = std::from_chars(rangeText.data(), rangeText.data() + dash, range.start);
    if (error != std::errc() || end != rangeText.data() + dash) return std::nullopt;
    std::string_view last = rangeText.substr(dash + 1);
    if (!last.empty()) {
        std::uint64_t value = 0;
        auto [lastEnd, lastError] = std::from_chars(last.data(), last.data() + last.size(), value);
        if (lastError != std::errc() || lastEnd != last.data() + last.size() || value < range.start)
            return std::nullopt;
        range.end = value;
    }
    return range;
}

// One served file, read piece by piece into one reused buffer. Bytes past
// the end of the file read as zeros, for bodies padded beyond it.
class OpenFile {
public:
    explicit OpenFile(const std::filesystem::path& path) : descriptor_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    std::optional<std::string_view> read(std::uint64_t position, std::size_t count, std::uint64_t fileSize) {
        if (descriptor_ < 0) return std::nullopt;
        buffer_.resize(count);
        std::size_t available = position < fileSize ? static_cast<std::size_t>(std::min<std::uint64_t>(count, fileSize - position)) : 0;
        std::size_t done = 0;
        while (done < available) {
            ssize_t got = ::pread(descriptor_, buffer_.data() + done, available - done, static_cast<off_t>(position + done));
            if (got <= 0) return std::nullopt;
            done += static_cast<std::size_t>(got);
        }
        std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(available), buffer_.end(), '\0');
        return std::string_view(buffer_.data(), buffer_.size());
    }

private:
    int descriptor_;
    std::string buffer_;
};

const HubFault* find(const std::vector<HubFault>& faults, HubFault::Kind kind) {
    auto found = std::find_if(faults.begin(), faults.end(), [&](const HubFault& f) { return f.kind == kind; });
    return found == faults.end() ? nullptr : &*found;
}

void applyHeaderFaults(httplib::Response& response, const std::vector<HubFault>& faults) {
    for (const auto& fault : faults) {
        if (fault.kind == HubFault::Kind::omitHeader) response.headers.erase(fault.header);
        if (fault.kind == HubFault::Kind::setHeader) {
            response.headers.erase(fault.header);
            response.set_header(fault.header, fault.value);
        }
    }
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (namesEqual(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

TestHubServer::TestHubServer(std::filesystem::path root, std::uint64_t largeFileThreshold)
    : root_(std::move(root)), largeFileThreshold_(largeFileThreshold), server_(std::make_unique<httplib::Server>()) {
    // Loopback traffic of a test must never go through a proxy named in the
    // environment.
    ::setenv("no_proxy", "127.0.0.1,localhost", 1);
    server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
    // One request per connection, announced with "Connection: close": a
    // kept-alive connection that the server drops while the client reuses it
    // fails the client's request on a loaded machine, and stopping the server
    // never waits on a client's pooled connection.
    server_->set_keep_alive_max_count(1);
    // Byte ranges are this server's business: the library would otherwise
    // cut every ranged answer itself, even the ones a fault must get wrong.
    server_->set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
        const_cast<httplib::Request&>(request).ranges.clear();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the test hub cannot bind a port on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // The socket is bound and listening already; wait only for the accept
    // loop so that stop() never races its start.
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestHubServer::~TestHubServer() {
    stopping_ = true;
    server_->stop();
    thread_.join();
}

std::string TestHubServer::endpoint(const std::string& host) const {
    return "http://" + host + ":" + std::to_string(port_);
}

std::string TestHubServer::resolvePath(const std::string& type, const std::string& repoId,
                                       const std::string& revision, const std::string& file) {
    std::string prefix = type == "models" ? "" : "/" + type;
    return prefix + "/" + repoId + "/resolve/" + percentEncodeSegment(revision) + "/" + file;
}

void TestHubServer::setCommit(const std::string& type, const std::string& repoId, std::string commit) {
    std::lock_guard lock(mutex_);
    commits_[type + "/" + repoId] = std::move(commit);
}

std::string TestHubServer::commit(const std::string& type, const std::string& repoId) const {
    std::lock_guard lock(mutex_);
    auto found = commits_.find(type + "/" + repoId);
    if (found != commits_.end()) return found->second;
    return sha1Hex({type, "/", repoId});
}

void TestHubServer::addFault(HubFault fault) {
    std::lock_guard lock(mutex_);
    faults_.push_back(std::move(fault));
}

void TestHubServer::clearFaults() {
    std::lock_guard lock(mutex_);
    faults_.clear();
}

std::vector<RecordedRequest> TestHubServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int TestHubServer::requestCount(const std::string& method, const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(requests_.begin(), requests_.end(), [&](const RecordedRequest& r) {
        return r.method == method && r.path == path;
    }));
}

int TestHubServer::requestCount(const std::string& method) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(
        std::count_if(requests_.begin(), requests_.end(), [&](const RecordedRequest& r) { return r.method == method; }));
}

void TestHubServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::vector<HubFault> TestHubServer::takeFaults(const std::string& method, const std::string& path) {
    std::lock_guard lock(mutex_);
    std::vector<HubFault> taken;
    for (auto& fault : faults_) {
        if (fault.times == 0) continue;
        if (!fault.method.empty() && fault.method != method) continue;
        if (!fault.path.empty() && fault.path != path) continue;
        taken.push_back(fault);
        if (fault.times > 0) --fault.times;
    }
    return taken;
}

void TestHubServer::pause(double seconds) const {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!stopping_ && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string TestHubServer::etagOf(const std::filesystem::path& file, bool large) {
    const auto size = std::filesystem::file_size(file);
    const auto modified = std::filesystem::last_write_time(file);
    const std::string key = file.string() + (large ? "#large" : "#small");
    {
        std::lock_guard lock(mutex_);
        auto found = tags_.find(key);
        if (found != tags_.end() && found->second.size == size && found->second.modified == modified)
            return found->second.etag;
    }
    std::string etag = large ? platform::SHA256::hashFile(file).hexString() : gitBlobId(file);
    std::lock_guard lock(mutex_);
    tags_[key] = FileTags{size, modified, etag};
    return etag;
}

void TestHubServer::handle(const httplib::Request& request, httplib::Response& response) {
    const std::string path = request.target.substr(0, request.target.find('?'));
    const std::string decodedPath = percentDecode(path);
    {
        RecordedRequest record{request.method, decodedPath, request.target, {}};
        for (const auto& [key, value] : request.headers) {
            if (key != "REMOTE_ADDR" && key != "REMOTE_PORT" && key != "LOCAL_ADDR" && key != "LOCAL_PORT")
                record.headers.emplace_back(key, value);
        }
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(record));
    }
    const std::vector<HubFault> faults = takeFaults(request.method, decodedPath);

    if (const HubFault* stall = find(faults, HubFault::Kind::stallBeforeHead)) pause(stall->seconds);
    if (const HubFault* reply = find(faults, HubFault::Kind::reply)) {
        response.status = reply->status;
        for (const auto& [key, value] : reply->headers) response.set_header(key, value);
        response.set_content(reply->body, "application/json");
        return;
    }
    if (const HubFault* redirect = find(faults, HubFault::Kind::relativeRedirect)) {
        response.status = redirect->status != 0 ? redirect->status : 302;
        response.set_header("Location", redirect->value);
        applyHeaderFaults(response, faults);
        return;
    }
    if (const HubFault* redirect = find(faults, HubFault::Kind::redirectToHost)) {
        response.status = 302;
        response.set_header("Location", endpoint(redirect->value) + request.target);
        applyHeaderFaults(response, faults);
        return;
    }

    const std::vector<std::string> segments = decodedSegments(path);
    auto notFound = [&](const char* code, const char* message) {
        response.status = 404;
        response.set_header("X-Error-Code", code);
        response.set_content(std::string("{\"error\":\"") + message + "\"}", "application/json");
        applyHeaderFaults(response, faults);
    };

    if (segments.size() >= 5 && segments[0] == "api" && isRepoType(segments[1])) {
        auto revision = std::find(segments.begin() + 3, segments.end(), "revision");
        if (revision == segments.end() || revision + 1 == segments.end()) return notFound("RepoNotFound", "Not found");
        std::string repoId = join(segments, 2, static_cast<std::size_t>(revision - segments.begin()));
        if (!std::filesystem::is_directory(root_ / segments[1] / repoId))
            return notFound("RepoNotFound", "Repository not found");
        serveListing(segments[1], repoId, response);
        applyHeaderFaults(response, faults);
        return;
    }

    bool viaRedirectTarget = !segments.empty() && segments[0] == "lfs";
    std::size_t at = viaRedirectTarget ? 1 : 0;
    std::string type = "models";
    if (viaRedirectTarget) {
        if (segments.size() < 2 || !isRepoType(segments[1])) return notFound("EntryNotFound", "Entry not found");
        type = segments[1];
        at = 2;
    } else if (!segments.empty() && (segments[0] == "datasets" || segments[0] == "spaces")) {
        type = segments[0];
        at = 1;
    }
    std::string repoId;
    std::size_t fileStart = 0;
    if (viaRedirectTarget) {
        if (segments.size() < at + 3) return notFound("EntryNotFound", "Entry not found");
        repoId = segments[at] + "/" + segments[at + 1];
        fileStart = at + 2;
    } else {
        auto resolve = std::find(segments.begin() + static_cast<std::ptrdiff_t>(at), segments.end(), "resolve");
        if (resolve == segments.end() || resolve == segments.begin() + static_cast<std::ptrdiff_t>(at) ||
            segments.end() - resolve < 3)
            return notFound("EntryNotFound", "Entry not found");
        repoId = join(segments, at, static_cast<std::size_t>(resolve - segments.begin()));
        fileStart = static_cast<std::size_t>(resolve - segments.begin()) + 2;
    }
    if (!isSafeFilePath(segments, fileStart)) return notFound("EntryNotFound", "Entry not found");
    if (!std::filesystem::is_directory(root_ / type / repoId)) return notFound("RepoNotFound", "Repository not found");
    serveFile(request, response, type, repoId, join(segments, fileStart, segments.size()), viaRedirectTarget, faults);
}

void TestHubServer::serveListing(const std::string& type, const std::string& repoId, httplib::Response& response) {
    const std::filesystem::path folder = root_ / type / repoId;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) names.push_back(entry.path().lexically_relative(folder).generic_string());
    }
    std::sort(names.begin(), names.end());
    nlohmann::json listing = {{"id", repoId}, {"sha", commit(type, repoId)}, {"siblings", nlohmann::json::array()}};
    for (const auto& name : names) listing["siblings"].push_back({{"rfilename", name}});
    const std::string body = listing.dump();
    response.status = 200;
    response.set_header("X-Repo-Commit", commit(type, repoId));
    response.set_content(body, "application/json");
}

void TestHubServer::serveFile(const httplib::Request& request, httplib::Response& response, const std::string& type,
                              const std::string& repoId, const std::string& file, bool viaRedirectTarget,
                              const std::vector<HubFault>& faults) {
    const std::filesystem::path location = root_ / type / repoId / file;
    if (!std::filesystem::is_regular_file(location)) {
        response.status = 404;
        response.set_header("X-Error-Code", "EntryNotFound");
        response.set_content("{\"error\":\"Entry not found\"}", "application/json");
        applyHeaderFaults(response, faults);
        return;
    }
    const std::uint64_t size = std::filesystem::file_size(location);
    const bool large = size >= largeFileThreshold_;
    const std::string etag = etagOf(location, large);
    const std::string quoted = "\"" + etag + "\"";

    if (large && !viaRedirectTarget) {
        std::string host = request.get_header_value("Host");
        if (host.empty()) host = "127.0.0.1:" + std::to_string(port_);
        response.status = 302;
        response.set_header("Location", "http://" + host + "/lfs/" + type + "/" + repoId + "/" + file);
        response.set_header("X-Repo-Commit", commit(type, repoId));
        response.set_header("ETag", quoted);
        response.set_header("X-Linked-Etag", quoted);
        response.set_header("X-Linked-Size", std::to_string(size));
        applyHeaderFaults(response, faults);
        return;
    }

    if (find(faults, HubFault::Kind::gzipBody) && request.method == "GET") {
        std::ifstream in(location, std::ios::binary);
        const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string compressed;
        httplib::detail::gzip_compressor().compress(content.data(), content.size(), true,
                                                    [&](const char* data, std::size_t length) {
                                                        compressed.append(data, length);
                                                        return true;
                                                    });
        response.status = 200;
        if (!viaRedirectTarget) response.set_header("X-Repo-Commit", commit(type, repoId));
        response.set_header("ETag", quoted);
        response.set_header("Content-Encoding", "gzip");
        response.set_content(compressed, "application/octet-stream");
        applyHeaderFaults(response, faults);
        return;
    }

    std::uint64_t bodySize = size;
    if (const HubFault* length = find(faults, HubFault::Kind::bodyLength)) bodySize = length->bytes;

    std::uint64_t start = 0;
    std::uint64_t end = bodySize;  // exclusive
    response.status = 200;
    const std::string rangeHeader = request.get_header_value("Range");
    std::optional<Range> range = rangeHeader.empty() ? std::nullopt : parseRange(rangeHeader);
    if (range && request.method == "GET" && !find(faults, HubFault::Kind::ignoreRange)) {
        if (range->start >= bodySize) {
            response.status = 416;
            response.set_header("Content-Range", "bytes */" + std::to_string(bodySize));
            response.set_content("", "text/plain");
            applyHeaderFaults(response, faults);
            return;
        }
        start = range->start;
        if (range->end) end = std::min(bodySize, *range->end + 1);
        if (const HubFault* wrong = find(faults, HubFault::Kind::wrongContentRange)) {
            start = std::min(bodySize - 1, start + wrong->bytes);
        }
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(start) + "-" + std::to_string(end - 1) + "/" +
                                                 std::to_string(bodySize));
    }

    if (!viaRedirectTarget) response.set_header("X-Repo-Commit", commit(type, repoId));
    response.set_header("ETag", quoted);
    response.set_header("Accept-Ranges", "bytes");

    const HubFault* drop = find(faults, HubFault::Kind::dropAfterBytes);
    const HubFault* stall = find(faults, HubFault::Kind::stallAfterBytes);
    const HubFault* trickle = find(faults, HubFault::Kind::trickle);
    const HubFault* flip = find(faults, HubFault::Kind::flipByte);
    std::optional<std::uint64_t> flipAt = flip ? std::optional(flip->bytes) : std::nullopt;
    std::optional<std::uint64_t> dropAt = drop ? std::optional(drop->bytes) : std::nullopt;
    std::optional<std::uint64_t> stallAt = stall ? std::optional(stall->bytes) : std::nullopt;
    double stallSeconds = stall ? stall->seconds : 0;
    std::size_t piece = trickle ? std::max<std::size_t>(1, trickle->bytes) : kPieceSize;
    double trickleSeconds = trickle ? trickle->seconds : 0;

    auto reader = std::make_shared<OpenFile>(location);
    auto stalled = std::make_shared<bool>(false);
    auto produce = [this, reader, start, size, dropAt, stallAt, stallSeconds, piece, trickleSeconds, stalled, flipAt](
                       std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (dropAt && offset >= *dropAt) return false;
        if (stallAt && !*stalled && offset >= *stallAt) {
            *stalled = true;
            pause(stallSeconds);
        }
        if (stopping_) return false;
        std::size_t count = std::min(length, piece);
        if (dropAt) count = std::min<std::size_t>(count, *dropAt - offset);
        if (stallAt && !*stalled) count = std::min<std::size_t>(count, std::max<std::uint64_t>(1, *stallAt - offset));
        auto bytes = reader->read(start + offset, count, size);
        if (!bytes) return false;
        std::string flipped;
        if (flipAt && *flipAt >= start + offset && *flipAt < start + offset + bytes->size()) {
            flipped = *bytes;
            flipped[*flipAt - start - offset] = static_cast<char>(~flipped[*flipAt - start - offset]);
            bytes = flipped;
        }
        if (!sink.write(bytes->data(), bytes->size())) return false;
        if (trickleSeconds > 0) pause(trickleSeconds);
        return true;
    };

    const bool chunked = std::any_of(faults.begin(), faults.end(), [](const HubFault& f) {
        return f.kind == HubFault::Kind::omitHeader && namesEqual(f.header, "Content-Length");
    });
    if (chunked) {
        const std::uint64_t total = end - start;
        response.set_chunked_content_provider(
            "application/octet-stream", [produce, total](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= total) {
                    sink.done();
                    return true;
                }
                return produce(offset, static_cast<std::size_t>(total - offset), sink);
            });
    } else {
        response.set_content_provider(static_cast<std::size_t>(end - start), "application/octet-stream", produce);
    }
    applyHeaderFaults(response, faults);
}

}  // namespace testsupport
