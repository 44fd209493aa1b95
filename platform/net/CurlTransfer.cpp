#include "platform/net/CurlTransfer.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/net/URLSessionDelegate.h"

namespace platform {

namespace {

constexpr long kReceiveBufferSize = 256 * 1024;
// Past this much unread body the transfer pauses until the reader catches up.
constexpr std::size_t kMaxPendingBytes = 1 << 20;
// How often a waiting transfer looks at its caller's cancellation when no
// wake-up reaches it.
constexpr int kPollMilliseconds = 50;
constexpr std::size_t kMaxIdleHandles = 8;
// A body with more than this left is not worth waiting for.
constexpr std::size_t kMaxSettleBytes = 64 * 1024;

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::int64_t parseLength(std::string_view text) {
    std::int64_t value = -1;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0) return -1;
    return value;
}

URLError::Code codeFor(CURLcode result) {
    switch (result) {
        case CURLE_OPERATION_TIMEDOUT: return URLError::Code::timedOut;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return URLError::Code::cannotFindHost;
        case CURLE_COULDNT_CONNECT: return URLError::Code::cannotConnectToHost;
        case CURLE_UNSUPPORTED_PROTOCOL: return URLError::Code::unsupportedURL;
        case CURLE_URL_MALFORMAT: return URLError::Code::badURL;
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM: return URLError::Code::networkConnectionLost;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_USE_SSL_FAILED: return URLError::Code::secureConnectionFailed;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_BAD_CONTENT_ENCODING: return URLError::Code::badServerResponse;
        case CURLE_ABORTED_BY_CALLBACK: return URLError::Code::cancelled;
        default: return URLError::Code::unknown;
    }
}

struct CurlURL {
    CURLU* handle = curl_url();
    ~CurlURL() { curl_url_cleanup(handle); }

    bool set(const std::string& url) {
        return handle != nullptr && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    }
    std::optional<std::string> get(CURLUPart part, unsigned flags = 0) const {
        char* text = nullptr;
        if (curl_url_get(handle, part, &text, flags) != CURLUE_OK) return std::nullopt;
        std::string result(text);
        curl_free(text);
        return result;
    }
};

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

bool isHTTPAddress(const std::string& url) {
    CurlURL parsed;
    if (!parsed.set(url)) return false;
    auto scheme = parsed.get(CURLUPART_SCHEME);
    auto host = parsed.get(CURLUPART_HOST);
    if (!scheme || !host || host->empty()) return false;
    std::string name = lowered(*scheme);
    return name == "http" || name == "https";
}

std::optional<std::string> resolveAddress(const std::string& base, const std::string& location) {
    CurlURL parsed;
    if (!parsed.set(base)) return std::nullopt;
    if (curl_url_set(parsed.handle, CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return std::nullopt;
    return parsed.get(CURLUPART_URL, CURLU_NON_SUPPORT_SCHEME);
}

bool sameOrigin(const std::string& a, const std::string& b) {
    CurlURL first;
    CurlURL second;
    if (!first.set(a) || !second.set(b)) return false;
    for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST}) {
        auto x = first.get(part);
        auto y = second.get(part);
        if (!x || !y || lowered(*x) != lowered(*y)) return false;
    }
    return first.get(CURLUPART_PORT, CURLU_DEFAULT_PORT) == second.get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
}

CurlShare::~CurlShare() {
    for (CURLM* multi : idle_) curl_multi_cleanup(multi);
}

CURLM* CurlShare::take() {
    {
        std::lock_guard lock(mutex_);
        if (!idle_.empty()) {
            CURLM* multi = idle_.back();
            idle_.pop_back();
            return multi;
        }
    }
    initializeCurlOnce();
    CURLM* multi = curl_multi_init();
    if (multi == nullptr) throw URLError(URLError::Code::unknown, {}, "cannot create a transfer");
    return multi;
}

void CurlShare::give(CURLM* multi) {
    std::lock_guard lock(mutex_);
    if (idle_.size() < kMaxIdleHandles) {
        idle_.push_back(multi);
    } else {
        curl_multi_cleanup(multi);
    }
}

CurlTransfer::CurlTransfer(CurlShare& share, const URLRequest& request, std::shared_ptr<URLSessionTask> task)
    : share_(share), task_(std::move(task)), callerToken_(currentCancellationToken()), url_(request.url) {
    multi_ = share_.take();
    easy_ = curl_easy_init();
    if (easy_ == nullptr) {
        share_.give(multi_);
        throw URLError(URLError::Code::unknown, url_, "cannot create a transfer");
    }
    try {
        configure(request);
    } catch (...) {
        curl_easy_cleanup(easy_);
        curl_slist_free_all(headerList_);
        share_.give(multi_);
        throw;
    }
    curl_multi_add_handle(multi_, easy_);
    CURLM* multi = multi_;
    task_->setWakeUp([multi] { curl_multi_wakeup(multi); });
    if (callerToken_) {
        callerWakeUp_.emplace(callerToken_->stopToken(), std::function<void()>([multi] { curl_multi_wakeup(multi); }));
    }
}

CurlTransfer::~CurlTransfer() {
    callerWakeUp_.reset();
    task_->setWakeUp(nullptr);
    curl_multi_remove_handle(multi_, easy_);
    curl_easy_cleanup(easy_);
    curl_slist_free_all(headerList_);
    share_.give(multi_);
}

void CurlTransfer::configure(const URLRequest& request) {
    curl_easy_setopt(easy_, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransfer::onHeader);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransfer::onBody);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);

    // An idle timeout: the connection must be made within the interval, and
    // afterwards the transfer fails only when less than one byte per second
    // arrives for that long. A whole-transfer limit would cut off large files.
    double interval = request.timeoutInterval > 0 ? request.timeoutInterval : 60.0;
    double milliseconds = std::min(interval * 1000.0, static_cast<double>(std::numeric_limits<long>::max() / 2));
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(milliseconds)));
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, std::max(1L, static_cast<long>(std::ceil(milliseconds / 1000.0))));
    // libcurl averages its speed over several seconds, so after a burst it
    // notices silence late; the transfer also keeps its own clock.
    idleLimit_ = std::chrono::milliseconds(static_cast<long long>(std::ceil(milliseconds)));

    if (request.httpMethod == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (request.httpMethod != "GET") {
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, request.httpMethod.c_str());
    }
    if (request.httpBody && request.httpMethod != "GET" && request.httpMethod != "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.httpBody->size()));
        curl_easy_setopt(easy_, CURLOPT_COPYPOSTFIELDS, request.httpBody->c_str());
    }

    const auto& fields = request.allHTTPHeaderFields;
    // libcurl would add these on its own; an empty value removes them.
    for (const char* automatic : {"Accept", "Expect", "Content-Type"}) {
        if (!fields.value(automatic)) headerList_ = curl_slist_append(headerList_, (std::string(automatic) + ":").c_str());
    }
    for (const auto& [name, value] : fields.fields()) {
        if (name.empty() || name.find_first_of(":\r\n") != std::string::npos ||
            value.find_first_of("\r\n") != std::string::npos) {
            throw URLError(URLError::Code::badURL, url_, "header field " + name + " cannot be sent");
        }
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        headerList_ = curl_slist_append(headerList_, line.c_str());
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);
}

std::size_t CurlTransfer::onHeader(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    std::size_t length = size * count;
    transfer.lastActivity_ = std::chrono::steady_clock::now();
    std::string_view line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        transfer.head_ = HTTPURLResponse{transfer.url_, 0, {}};
        auto space = line.find(' ');
        if (space != std::string_view::npos) {
            std::string_view rest = line.substr(space + 1);
            int status = 0;
            std::from_chars(rest.data(), rest.data() + std::min<std::size_t>(rest.size(), 3), status);
            transfer.head_.statusCode = status;
        }
        transfer.expectedLength_ = -1;
        return length;
    }
    std::string_view content = trim(line);
    if (content.empty()) {
        // A 1xx head is followed by the real one.
        if (transfer.head_.statusCode >= 200) transfer.headComplete_ = true;
        return length;
    }
    auto colon = content.find(':');
    if (colon == std::string_view::npos) return length;
    std::string_view name = trim(content.substr(0, colon));
    std::string_view value = trim(content.substr(colon + 1));
    transfer.head_.allHeaderFields.addValue(name, value);
    if (headerNamesEqual(name, "Content-Length")) transfer.expectedLength_ = parseLength(value);
    return length;
}

std::size_t CurlTransfer::onBody(char* data, std::size_t size, std::size_t count, void* self) {
    auto& transfer = *static_cast<CurlTransfer*>(self);
    const std::size_t length = size * count;
    transfer.lastActivity_ = std::chrono::steady_clock::now();
    // Bytes, not characters: a copy between the two types would go element
    // by element instead of at memcpy speed.
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    const std::size_t direct = std::min(length, transfer.target_.size() - transfer.targetFilled_);
    if (direct == 0 && transfer.pending_.size() >= kMaxPendingBytes) {
        transfer.paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (direct > 0) {
        std::memcpy(transfer.target_.data() + transfer.targetFilled_, bytes, direct);
        transfer.targetFilled_ += direct;
    }
    transfer.pending_.insert(transfer.pending_.end(), bytes + direct, bytes + length);
    return length;
}

void CurlTransfer::throwIfCancelled() const {
    if (task_->isCancelRequested() || (callerToken_ && callerToken_->isCancelled())) {
        throw URLError(URLError::Code::cancelled, url_);
    }
}

void CurlTransfer::throwIfIdle() const {
    // A paused transfer waits for its reader, not for the server.
    if (paused_ || done_) return;
    if (std::chrono::steady_clock::now() - lastActivity_ > idleLimit_) {
        throw URLError(URLError::Code::timedOut, url_, "nothing arrived within the request's timeout");
    }
}

void CurlTransfer::throwIfFailed() const {
    if (done_ && result_ != CURLE_OK) {
        throw URLError(codeFor(result_), url_, errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(result_));
    }
}

void CurlTransfer::holdWhileSuspended() {
    if (!task_->isSuspended()) return;
    curl_easy_pause(easy_, CURLPAUSE_RECV);
    while (task_->isSuspended()) {
        throwIfCancelled();
        curl_multi_poll(multi_, nullptr, 0, kPollMilliseconds, nullptr);
    }
    throwIfCancelled();
    // Time spent suspended is the caller's choice, not the server's silence.
    lastActivity_ = std::chrono::steady_clock::now();
    // A body that waits for its reader stays paused until read() takes it up.
    if (!paused_) curl_easy_pause(easy_, CURLPAUSE_CONT);
}

template <class Ready>
void CurlTransfer::driveUntil(Ready ready) {
    while (!ready() && !done_) {
        throwIfCancelled();
        holdWhileSuspended();
        int running = 0;
        CURLMcode code = curl_multi_perform(multi_, &running);
        if (code != CURLM_OK) throw URLError(URLError::Code::unknown, url_, curl_multi_strerror(code));
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        if (ready() || done_) break;
        throwIfIdle();
        curl_multi_poll(multi_, nullptr, 0, kPollMilliseconds, nullptr);
    }
    throwIfCancelled();
}

HTTPURLResponse CurlTransfer::awaitHead() {
    driveUntil([this] { return headComplete_; });
    // A failure after a complete head belongs to the body and shows on next().
    if (!headComplete_) throwIfFailed();
    if (!headComplete_) throw URLError(URLError::Code::badServerResponse, url_, "the answer had no complete head");
    return head_;
}

std::span<const std::uint8_t> CurlTransfer::next() {
    delivered_.clear();
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(std::exchange(pendingRead_, 0)));
    driveUntil([this] {
        if (pending_.empty() && paused_) {
            paused_ = false;
            lastActivity_ = std::chrono::steady_clock::now();
            curl_easy_pause(easy_, CURLPAUSE_CONT);
        }
        return !pending_.empty();
    });
    if (!pending_.empty()) {
        std::swap(pending_, delivered_);
        return delivered_;
    }
    throwIfFailed();
    return {};
}

std::size_t CurlTransfer::read(std::span<std::uint8_t> into) {
    if (pendingRead_ < pending_.size()) {
        const std::size_t count = std::min(into.size(), pending_.size() - pendingRead_);
        std::memcpy(into.data(), pending_.data() + pendingRead_, count);
        pendingRead_ += count;
        if (pendingRead_ == pending_.size()) {
            pending_.clear();
            pendingRead_ = 0;
        }
        return count;
    }
    target_ = into;
    targetFilled_ = 0;
    try {
        driveUntil([this] {
            if (paused_) {
                paused_ = false;
                lastActivity_ = std::chrono::steady_clock::now();
                curl_easy_pause(easy_, CURLPAUSE_CONT);
            }
            return targetFilled_ > 0;
        });
    } catch (...) {
        target_ = {};
        targetFilled_ = 0;
        throw;
    }
    // Later bytes must find no room here: `into` is the caller's again.
    target_ = {};
    const std::size_t filled = std::exchange(targetFilled_, 0);
    if (filled > 0) return filled;
    throwIfFailed();
    return 0;
}

}  // namespace platform

namespace platform {

void CurlTransfer::settle(std::chrono::milliseconds budget) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    std::size_t discarded = 0;
    while (!done_ && discarded <= kMaxSettleBytes) {
        if (task_->isCancelRequested() || (callerToken_ && callerToken_->isCancelled())) return;
        discarded += pending_.size() - pendingRead_;
        pending_.clear();
        pendingRead_ = 0;
        if (paused_) {
            paused_ = false;
            curl_easy_pause(easy_, CURLPAUSE_CONT);
        }
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) return;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy_) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (done_ || left.count() <= 0) return;
        curl_multi_poll(multi_, nullptr, 0, static_cast<int>(std::min<long long>(left.count(), kPollMilliseconds)), nullptr);
    }
}

}  // namespace platform
