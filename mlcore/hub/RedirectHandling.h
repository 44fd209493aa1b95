#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/net/URLSession.h"

namespace celvan {

// Follows only relative redirects, to the scheme, host and port of the
// request that was sent, and hands every other redirect back unfollowed so
// that the caller can read the 3xx answer's "Location" itself.
class RedirectDelegate : public platform::URLSessionDelegate {
public:
    std::optional<platform::URLRequest> willPerformHTTPRedirection(platform::URLSessionTask& task,
                                                                   const platform::HTTPURLResponse& response,
                                                                   platform::URLRequest newRequest) override;
};

// Holds the one session, made on first use, through which the hub client
// sends its HEAD requests.
class RedirectSessionActor {
public:
    std::shared_ptr<platform::URLSession> urlSession();

private:
    std::mutex mutex_;
    std::shared_ptr<platform::URLSession> urlSession_;
};

}  // namespace celvan
