#pragma once

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/foundation/URL.h"
#include "platform/net/URLError.h"

namespace celvan {

// The hub client's shared vocabulary; it has no values of its own.
namespace Hub {

// A failure of the hub client: an HTTP answer it cannot use, a file it cannot
// find or read, or a configuration it cannot parse. `what()` is the text a
// user sees.
class HubClientError : public std::runtime_error {
public:
    enum class Kind {
        httpStatusCode,
        jsonSerialization,
        downloadError,
        fileNotFound,
        networkError,
        resourceNotFound,
        configurationMissing,
        fileSystemError,
        parseError,
        authorizationRequired,
        parse,
        unexpectedError,
    };

    static HubClientError httpStatusCode(int status);
    static HubClientError jsonSerialization(const platform::URL& fileURL, const std::string& message);
    static HubClientError downloadError(const std::string& text);
    static HubClientError fileNotFound(const std::string& name);
    static HubClientError networkError(const platform::URLError& error);
    static HubClientError resourceNotFound(const std::string& name);
    static HubClientError configurationMissing(const std::string& name);
    // `error` is the exception being handled (or any other captured one); its
    // own description becomes part of this one.
    static HubClientError fileSystemError(std::exception_ptr error);
    static HubClientError parseError(const std::string& text);
    static HubClientError authorizationRequired();
    static HubClientError parse();
    static HubClientError unexpectedError();

    Kind kind() const noexcept { return kind_; }
    // The status of `httpStatusCode`, else 0.
    int statusCode() const noexcept { return statusCode_; }
    // The text the case carries (message, file or resource name); empty for
    // the cases without one.
    const std::string& payload() const noexcept { return payload_; }
    // The file of `jsonSerialization`.
    const std::optional<platform::URL>& fileURL() const noexcept { return fileURL_; }
    // The transport failure of `networkError`.
    const std::optional<platform::URLError>& urlError() const noexcept { return urlError_; }
    // The underlying failure of `fileSystemError`.
    const std::exception_ptr& underlyingError() const noexcept { return underlyingError_; }

private:
    HubClientError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}

    Kind kind_;
    int statusCode_ = 0;
    std::string payload_;
    std::optional<platform::URL> fileURL_;
    std::optional<platform::URLError> urlError_;
    std::exception_ptr underlyingError_;
};

// The description of any failure, as a message built from it shows it.
std::string localizedDescription(const std::exception_ptr& error);

}  // namespace Hub

}  // namespace celvan
