#include <exception>

#include "mlcore/hub/BusyServerRetry.h"
#include "mlcore/hub/HeaderNumbers.h"
#include "mlcore/hub/Hub.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/RedirectHandling.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/Sleep.h"
#include "platform/net/URLSession.h"

namespace celvan {

namespace {

platform::URLRequest hubRequest(const platform::URL& url, const std::optional<std::string>& token) {
    platform::URLRequest request(url.absoluteString());
    request.timeoutInterval = 60;
    if (token && !token->empty()) request.setValue("Bearer " + *token, "Authorization");
    return request;
}

// A request that ended because its task was cancelled is a cancellation,
// never a failure to report as one.
void throwIfCancelled(const platform::URLError& error) {
    if (error.code() == platform::URLError::Code::cancelled && platform::isCancelled()) {
        throw platform::CancellationError();
    }
}

[[noreturn]] void throwForStatus(int status, const platform::URL& url) {
    if (status == 401 || status == 403) throw Hub::HubClientError::authorizationRequired();
    if (status == 404) throw Hub::HubClientError::fileNotFound(url.lastPathComponent());
    throw Hub::HubClientError::httpStatusCode(status);
}

std::optional<std::string> firstHeader(const platform::HTTPURLResponse& response, std::string_view preferred,
                                       std::string_view fallback) {
    if (auto value = response.value(preferred)) return value;
    return response.value(fallback);
}

const platform::HTTPURLResponse& responseOf(const platform::HTTPURLResponse& response) { return response; }
const platform::HTTPURLResponse& responseOf(const std::pair<std::vector<uint8_t>, platform::HTTPURLResponse>& answer) {
    return answer.second;
}

// Sends again while the server answers that it is busy, after the pause it
// names, as long as retries remain; the last answer is the one that counts.
template <class Send>
auto sendPatiently(const Send& send) -> decltype(send()) {
    for (int busyRetries = kBusyServerRetries;; --busyRetries) {
        auto answer = send();
        const auto pause = busyRetries > 0 ? busyServerPause(responseOf(answer)) : std::nullopt;
        if (!pause) return answer;
        platform::sleep(*pause);
    }
}

}  // namespace

std::pair<std::vector<uint8_t>, platform::HTTPURLResponse> HubApi::httpGet(const platform::URL& url) const {
    try {
        const platform::URLRequest request = hubRequest(url, hfToken);
        auto answer = sendPatiently([&] { return platform::URLSession::shared()->data(request); });
        const int status = answer.second.statusCode;
        if (status < 200 || status > 299) throwForStatus(status, url);
        return answer;
    } catch (const Hub::HubClientError&) {
        throw;
    } catch (const platform::CancellationError&) {
        throw;
    } catch (const platform::URLError& error) {
        throwIfCancelled(error);
        throw Hub::HubClientError::downloadError(error.what());
    } catch (const std::exception& error) {
        throw Hub::HubClientError::downloadError(error.what());
    }
}

platform::HTTPURLResponse HubApi::httpHead(const platform::URL& url) const {
    platform::URLRequest request = hubRequest(url, hfToken);
    request.httpMethod = "HEAD";
    request.setValue("identity", "Accept-Encoding");
    platform::HTTPURLResponse response;
    try {
        response = sendPatiently([&] { return redirectSession().urlSession()->data(request).second; });
    } catch (const platform::URLError& error) {
        throwIfCancelled(error);
        throw;
    }
    if (response.statusCode < 200 || response.statusCode > 399) throwForStatus(response.statusCode, url);
    return response;
}

RedirectSessionActor& HubApi::redirectSession() {
    static RedirectSessionActor actor;
    return actor;
}

HubApi::FileMetadata HubApi::getFileMetadata(const platform::URL& url) const {
    const platform::HTTPURLResponse response = httpHead(url);
    FileMetadata metadata;
    metadata.location = response.statusCode == 302 ? response.value("Location").value_or("") : response.url;
    metadata.commitHash = response.value("X-Repo-Commit");
    metadata.etag = normalizeEtag(firstHeader(response, "X-Linked-Etag", "ETag"));
    metadata.linked = response.value("X-Linked-Etag").has_value();
    if (metadata.location.empty()) metadata.location = url.absoluteString();
    if (auto size = firstHeader(response, "X-Linked-Size", "Content-Length")) metadata.size = parseByteCount(*size);
    return metadata;
}

platform::URL HubApi::endpointURL(const std::string& endpoint) {
    auto url = platform::URL::fromString(endpoint);
    if (!url || !url->host() || (url->scheme() != "http" && url->scheme() != "https")) {
        throw Hub::HubClientError::parseError("Invalid hub endpoint \"" + endpoint + "\"");
    }
    return *url;
}

std::optional<std::string> HubApi::normalizeEtag(const std::optional<std::string>& etag) {
    if (!etag) return std::nullopt;
    std::string_view tag = *etag;
    if (tag.starts_with("W/")) tag.remove_prefix(2);
    while (!tag.empty() && tag.front() == '"') tag.remove_prefix(1);
    while (!tag.empty() && tag.back() == '"') tag.remove_suffix(1);
    return std::string(tag);
}

}  // namespace celvan
