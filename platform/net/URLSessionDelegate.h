#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSessionTask.h"

namespace platform {

// What a session asks of its owner. Calls of one session never overlap; they
// run on the thread that drives the transfer, so a delegate must not wait on
// that transfer from inside a call.
class URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;

    // A 301, 302, 303, 307 or 308 answer with a "Location". `newRequest` is
    // the request the session would send next (the location resolved against
    // the current address; "Authorization" dropped when the scheme, host or
    // port changes). Return it, or another request, to follow the redirect;
    // return nothing to end the task with the 3xx answer itself. An
    // exception thrown here ends the task and reaches the caller unchanged.
    virtual std::optional<URLRequest> willPerformHTTPRedirection(URLSessionTask& task,
                                                                 const HTTPURLResponse& response,
                                                                 URLRequest newRequest) {
        (void)task;
        (void)response;
        return newRequest;
    }

    // Download tasks only. `totalBytesExpectedToWrite` is -1 when the answer
    // announced no length.
    virtual void didWriteData(URLSessionTask& task, std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                              std::int64_t totalBytesExpectedToWrite) {
        (void)task;
        (void)bytesWritten;
        (void)totalBytesWritten;
        (void)totalBytesExpectedToWrite;
    }
    // The file at `location` belongs to the delegate for the length of the
    // call; one that it leaves there is returned to the caller of download().
    virtual void didFinishDownloadingTo(URLSessionTask& task, const std::filesystem::path& location) {
        (void)task;
        (void)location;
    }
    // `error` is null on success.
    virtual void didCompleteWithError(URLSessionTask& task, const URLError* error) {
        (void)task;
        (void)error;
    }
};

// Whether two addresses share scheme, host and port (default ports filled
// in): the test a redirect passes to keep the credentials it carries.
bool sameOrigin(const std::string& a, const std::string& b);

}  // namespace platform
