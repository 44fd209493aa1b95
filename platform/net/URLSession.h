#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/net/AsyncBytes.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSessionConfiguration.h"
#include "platform/net/URLSessionDelegate.h"
#include "platform/net/URLSessionTask.h"

namespace platform {

class CurlShare;

// A set of requests that share connections, a configuration and a delegate.
// Every operation blocks its calling thread until the answer (or, for
// bytes(), the answer's head) is there, and throws URLError on failure.
//
// Only "http" and "https" addresses are served, redirects included. Request
// headers go out exactly as given: the transport adds only "Host" (and
// "Content-Length" for a body), no "Accept", "User-Agent" or encoding.
// A transfer ends with URLError cancelled soon after its task is cancelled,
// the session is invalidated, or the calling thread's task is cancelled.
class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // The session keeps its delegate until it is invalidated.
    static std::shared_ptr<URLSession> make(URLSessionConfiguration configuration,
                                            std::shared_ptr<URLSessionDelegate> delegate = nullptr);
    // The process's default session, without a delegate.
    static std::shared_ptr<URLSession> shared();

    ~URLSession();
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    const URLSessionConfiguration& configuration() const noexcept { return configuration_; }

    std::pair<std::vector<std::uint8_t>, HTTPURLResponse> data(const URLRequest& request);
    AsyncBytes bytes(const URLRequest& request);
    // Streams the body into a new file in the system's temporary folder and
    // returns it; the file is the caller's. Reports to the delegate's
    // download callbacks as it goes.
    std::pair<std::filesystem::path, HTTPURLResponse> download(const URLRequest& request);

    // Tasks that have not completed yet.
    std::vector<std::shared_ptr<URLSessionTask>> allTasks() const;
    // Cancels every task; later requests fail with URLError cancelled.
    void invalidateAndCancel();

private:
    struct Started;

    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate);

    std::shared_ptr<URLSessionTask> makeTask(const URLRequest& request);
    std::shared_ptr<URLSessionDelegate> currentDelegate() const;
    // Sends the request and follows redirects until a final answer's head.
    Started start(const URLRequest& request, const std::shared_ptr<URLSessionTask>& task);
    void finish(const std::shared_ptr<URLSessionTask>& task);

    URLSessionConfiguration configuration_;
    std::unique_ptr<CurlShare> share_;
    mutable std::mutex mutex_;
    std::shared_ptr<URLSessionDelegate> delegate_;
    // Serialises delegate calls, as a delegate queue would.
    std::mutex delegateMutex_;
    std::vector<std::shared_ptr<URLSessionTask>> tasks_;
    std::uint64_t nextTaskIdentifier_ = 1;
    bool invalidated_ = false;
};

}  // namespace platform
