#include "platform/net/URLError.h"

namespace platform {

const char* description(URLError::Code code) noexcept {
    switch (code) {
        case URLError::Code::cancelled: return "cancelled";
        case URLError::Code::badURL: return "bad URL";
        case URLError::Code::timedOut: return "The request timed out.";
        case URLError::Code::unsupportedURL: return "unsupported URL";
        case URLError::Code::cannotFindHost: return "A server with the specified hostname could not be found.";
        case URLError::Code::cannotConnectToHost: return "Could not connect to the server.";
        case URLError::Code::networkConnectionLost: return "The network connection was lost.";
        case URLError::Code::httpTooManyRedirects: return "too many HTTP redirects";
        case URLError::Code::resourceUnavailable: return "The requested resource is unavailable.";
        case URLError::Code::badServerResponse: return "bad server response";
        case URLError::Code::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLError::Code::cannotCreateFile: return "cannot create file";
        case URLError::Code::cannotWriteToFile: return "cannot write file";
        case URLError::Code::unknown: break;
    }
    return "unknown error";
}

URLError::URLError(Code code, std::string failingURL, std::string detail)
    : std::runtime_error(description(code)),
      code_(code),
      failingURL_(std::move(failingURL)),
      detail_(std::move(detail)) {}

}  // namespace platform
