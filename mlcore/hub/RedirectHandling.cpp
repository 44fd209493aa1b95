#include "mlcore/hub/RedirectHandling.h"

#include "platform/foundation/URL.h"

namespace celvan {

std::optional<platform::URLRequest> RedirectDelegate::willPerformHTTPRedirection(
    platform::URLSessionTask& task, const platform::HTTPURLResponse& response, platform::URLRequest) {
    if (response.statusCode < 300 || response.statusCode > 399) return std::nullopt;
    auto location = response.value("Location");
    if (!location) return std::nullopt;
    auto reference = platform::URL::fromString(*location);
    // A location with a scheme is never relative, even without a host.
    if (!reference || reference->host() || !reference->scheme().empty()) return std::nullopt;

    const platform::URLRequest& original = task.originalRequest();
    auto sent = platform::URL::fromString(original.url);
    if (!sent) return std::nullopt;
    platform::URL::Components components = sent->components();
    components.path = reference->percentEncodedPath();
    components.query = reference->query();
    components.fragment.reset();
    // A path that does not start at the root cannot follow a host.
    if (!components.path.empty() && components.path.front() != '/') return std::nullopt;
    const std::string target = platform::URL::fromComponents(components).absoluteString();

    platform::URLRequest followed(target);
    // The method stays that of the request sent: a HEAD must never turn into
    // a GET that fetches the whole file.
    followed.httpMethod = original.httpMethod;
    followed.timeoutInterval = 60;
    followed.allHTTPHeaderFields = original.allHTTPHeaderFields;
    followed.setValue(target, "Location");
    return followed;
}

std::shared_ptr<platform::URLSession> RedirectSessionActor::urlSession() {
    std::lock_guard lock(mutex_);
    if (!urlSession_) {
        urlSession_ = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration(),
                                                 std::make_shared<RedirectDelegate>());
    }
    return urlSession_;
}

}  // namespace celvan
