#include "platform/concurrency/CancellationToken.h"

#include "platform/concurrency/CancellationError.h"

namespace platform {

namespace {

struct RequestStop {
    std::stop_source source;
    void operator()() noexcept { source.request_stop(); }
};

thread_local const CancellationToken* currentToken = nullptr;

}  // namespace

struct CancellationToken::State {
    std::stop_source source;
    // Forwards the parent's cancellation; declared after `source` so that it
    // is unregistered before the source goes away.
    std::optional<std::stop_callback<RequestStop>> parentLink;
};

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

CancellationToken::CancellationToken(std::shared_ptr<State> state) : state_(std::move(state)) {}

CancellationToken CancellationToken::childToken() const {
    auto child = std::make_shared<State>();
    child->parentLink.emplace(state_->source.get_token(), RequestStop{child->source});
    return CancellationToken(std::move(child));
}

void CancellationToken::cancel() const noexcept { state_->source.request_stop(); }

bool CancellationToken::isCancelled() const noexcept { return state_->source.stop_requested(); }

std::stop_token CancellationToken::stopToken() const noexcept { return state_->source.get_token(); }

std::optional<CancellationToken> currentCancellationToken() {
    if (currentToken == nullptr) return std::nullopt;
    return *currentToken;
}

CancellationScope::CancellationScope(const CancellationToken& token) : previous_(currentToken) {
    currentToken = &token;
}

CancellationScope::~CancellationScope() { currentToken = previous_; }

bool isCancelled() { return currentToken != nullptr && currentToken->isCancelled(); }

void checkCancellation() {
    if (isCancelled()) throw CancellationError();
}

}  // namespace platform
