#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "platform/concurrency/CancellationToken.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSessionTask.h"

namespace platform {

// Idle multi handles of one session. Each keeps its connection cache, so a
// request that takes one reuses the connections of earlier ones, while no
// handle is ever used by two threads at once.
class CurlShare {
public:
    CurlShare() = default;
    ~CurlShare();
    CurlShare(const CurlShare&) = delete;
    CurlShare& operator=(const CurlShare&) = delete;

    CURLM* take();
    void give(CURLM* multi);

private:
    std::mutex mutex_;
    std::vector<CURLM*> idle_;
};

// One HTTP exchange, without redirects: sends the request, then hands out the
// answer's head and its body piece by piece, driving libcurl on the calling
// thread between pieces.
class CurlTransfer {
public:
    CurlTransfer(CurlShare& share, const URLRequest& request, std::shared_ptr<URLSessionTask> task);
    ~CurlTransfer();
    CurlTransfer(const CurlTransfer&) = delete;
    CurlTransfer& operator=(const CurlTransfer&) = delete;

    HTTPURLResponse awaitHead();
    // Empty at the end of the body.
    std::span<const std::uint8_t> next();
    // Copies what arrives next straight into `into` (not empty) and returns
    // how much; 0 at the end of the body.
    std::size_t read(std::span<std::uint8_t> into);
    // Gives a body that the reader no longer wants up to `budget` to end on
    // its own, throwing away what still arrives, so that the connection stays
    // open for the next request instead of being closed mid-answer. Does
    // nothing for a cancelled transfer.
    void settle(std::chrono::milliseconds budget) noexcept;
    // The length the answer announced, or -1.
    std::int64_t expectedContentLength() const noexcept { return expectedLength_; }

private:
    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self);
    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);

    void configure(const URLRequest& request);
    // Runs libcurl until `ready()` holds or the transfer ends.
    template <class Ready>
    void driveUntil(Ready ready);
    void throwIfCancelled() const;
    // Reads nothing while the task is suspended.
    void holdWhileSuspended();
    void throwIfIdle() const;
    void throwIfFailed() const;

    CurlShare& share_;
    std::shared_ptr<URLSessionTask> task_;
    // The task of the thread that started the transfer: cancelling it ends
    // the transfer as cancelling the session task does.
    std::optional<CancellationToken> callerToken_;
    std::optional<std::stop_callback<std::function<void()>>> callerWakeUp_;
    std::string url_;
    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    curl_slist* headerList_ = nullptr;
    char errorBuffer_[CURL_ERROR_SIZE] = {};

    HTTPURLResponse head_;
    bool headComplete_ = false;
    std::int64_t expectedLength_ = -1;
    std::vector<std::uint8_t> pending_;
    // How much of `pending_` read() has handed out already.
    std::size_t pendingRead_ = 0;
    std::vector<std::uint8_t> delivered_;
    // Where the body goes while read() waits, ahead of `pending_`.
    std::span<std::uint8_t> target_;
    std::size_t targetFilled_ = 0;
    bool paused_ = false;
    bool done_ = false;
    // The request's timeout, counted from the last byte that arrived.
    std::chrono::steady_clock::duration idleLimit_{};
    std::chrono::steady_clock::time_point lastActivity_ = std::chrono::steady_clock::now();
    CURLcode result_ = CURLE_OK;
};

// Whether an address has the "http" or "https" scheme and a host.
bool isHTTPAddress(const std::string& url);
// `location` resolved against `base`, or nothing when it does not parse.
std::optional<std::string> resolveAddress(const std::string& base, const std::string& location);

}  // namespace platform
