#include "platform/net/AsyncBytes.h"

#include "platform/net/CurlTransfer.h"

namespace platform {

namespace {
constexpr std::chrono::milliseconds kSettleBudget{20};
}  // namespace

AsyncBytes::AsyncBytes(std::unique_ptr<CurlTransfer> transfer, HTTPURLResponse response,
                       std::shared_ptr<URLSessionTask> task)
    : transfer_(std::move(transfer)), response_(std::move(response)), task_(std::move(task)) {}

AsyncBytes::AsyncBytes(AsyncBytes&&) noexcept = default;

// Swapping hands the old transfer to `other`, whose destructor ends it and
// marks its task completed.
AsyncBytes& AsyncBytes::operator=(AsyncBytes&& other) noexcept {
    std::swap(transfer_, other.transfer_);
    std::swap(response_, other.response_);
    std::swap(task_, other.task_);
    return *this;
}

AsyncBytes::~AsyncBytes() {
    // A reader that stops at its own end marker leaves only the last bytes of
    // the answer unread; letting them arrive keeps the connection for reuse.
    if (transfer_) transfer_->settle(kSettleBudget);
    transfer_.reset();
    if (task_) task_->markCompleted();
}

std::span<const std::uint8_t> AsyncBytes::next() {
    if (!transfer_) return {};
    try {
        auto piece = transfer_->next();
        if (piece.empty()) {
            transfer_.reset();
            task_->markCompleted();
        }
        return piece;
    } catch (...) {
        transfer_.reset();
        task_->markCompleted();
        throw;
    }
}

std::size_t AsyncBytes::read(std::span<std::uint8_t> into) {
    if (!transfer_) return 0;
    try {
        const std::size_t count = transfer_->read(into);
        if (count == 0) {
            transfer_.reset();
            task_->markCompleted();
        }
        return count;
    } catch (...) {
        transfer_.reset();
        task_->markCompleted();
        throw;
    }
}

}  // namespace platform
