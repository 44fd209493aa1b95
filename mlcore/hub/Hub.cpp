#include "mlcore/hub/Hub.h"

namespace celvan::Hub {

std::string localizedDescription(const std::exception_ptr& error) {
    if (!error) return "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "unknown error";
    }
}

HubClientError HubClientError::httpStatusCode(int status) {
    HubClientError error(Kind::httpStatusCode, "HTTP error with status code: " + std::to_string(status));
    error.statusCode_ = status;
    return error;
}

HubClientError HubClientError::jsonSerialization(const platform::URL& fileURL, const std::string& message) {
    HubClientError error(Kind::jsonSerialization, message);
    error.payload_ = message;
    error.fileURL_ = fileURL;
    return error;
}

HubClientError HubClientError::downloadError(const std::string& text) {
    HubClientError error(Kind::downloadError, "Download failed: " + text);
    error.payload_ = text;
    return error;
}

HubClientError HubClientError::fileNotFound(const std::string& name) {
    HubClientError error(Kind::fileNotFound, "File not found: " + name);
    error.payload_ = name;
    return error;
}

HubClientError HubClientError::networkError(const platform::URLError& urlError) {
    HubClientError error(Kind::networkError, std::string("Network error: ") + urlError.what());
    error.urlError_ = urlError;
    return error;
}

HubClientError HubClientError::resourceNotFound(const std::string& name) {
    HubClientError error(Kind::resourceNotFound, "Resource not found: " + name);
    error.payload_ = name;
    return error;
}

HubClientError HubClientError::configurationMissing(const std::string& name) {
    HubClientError error(Kind::configurationMissing, "Required configuration file missing: " + name);
    error.payload_ = name;
    return error;
}

HubClientError HubClientError::fileSystemError(std::exception_ptr underlying) {
    HubClientError error(Kind::fileSystemError, "File system error: " + localizedDescription(underlying));
    error.underlyingError_ = std::move(underlying);
    return error;
}

HubClientError HubClientError::parseError(const std::string& text) {
    HubClientError error(Kind::parseError, "Parse error: " + text);
    error.payload_ = text;
    return error;
}

HubClientError HubClientError::authorizationRequired() {
    return {Kind::authorizationRequired, "Authentication required. Please provide a valid Hugging Face token."};
}

HubClientError HubClientError::parse() { return {Kind::parse, "Failed to parse server response."}; }

HubClientError HubClientError::unexpectedError() { return {Kind::unexpectedError, "An unexpected error occurred."}; }

}  // namespace celvan::Hub
