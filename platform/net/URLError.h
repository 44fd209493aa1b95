#pragma once

#include <stdexcept>
#include <string>

namespace platform {

// A failure of URL loading: transport, time-out, cancellation or an address
// the session will not serve. `what()` is the platform's description of the
// code; `detail()` adds what the transport said, for diagnostics only.
class URLError : public std::runtime_error {
public:
    enum class Code {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        unsupportedURL = -1002,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        httpTooManyRedirects = -1007,
        resourceUnavailable = -1008,
        badServerResponse = -1011,
        secureConnectionFailed = -1200,
        cannotCreateFile = -3000,
        cannotWriteToFile = -3003,
    };

    explicit URLError(Code code, std::string failingURL = {}, std::string detail = {});

    Code code() const noexcept { return code_; }
    const std::string& failingURL() const noexcept { return failingURL_; }
    const std::string& detail() const noexcept { return detail_; }

private:
    Code code_;
    std::string failingURL_;
    std::string detail_;
};

const char* description(URLError::Code code) noexcept;

}  // namespace platform
