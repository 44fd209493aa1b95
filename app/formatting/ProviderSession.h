#pragma once

#include <memory>
#include <optional>

#include "platform/net/URLSession.h"

namespace dictaro::provider {

// The redirect rule of the providers' requests, which carry the user's key
// in a header of each provider's own name: the key stays with the server it
// was meant for, and never leaves an encrypted connection for a plain one.
class KeyGuardingRedirects final : public platform::URLSessionDelegate {
public:
    // A move to another scheme, host or port goes on without any key header.
    // A move from https to http of a request sent with a key is refused with
    // FormattingError backendUnavailable naming both addresses.
    std::optional<platform::URLRequest> willPerformHTTPRedirection(platform::URLSessionTask& task,
                                                                   const platform::HTTPURLResponse& response,
                                                                   platform::URLRequest newRequest) override;
};

// The process's one session for the providers' requests, with that rule.
const std::shared_ptr<platform::URLSession>& session();

}  // namespace dictaro::provider
