#include "app/formatting/FormattingStream.h"

#include <mutex>
#include <utility>

#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/Task.h"

namespace dictaro {

struct FormattingStream::Outcome {
    mutable std::mutex mutex;
    FormattingEnd end;
};

FormattingStream::FormattingStream(platform::AsyncStream<Item> items, std::shared_ptr<Outcome> outcome)
    : items_(std::move(items)), outcome_(std::move(outcome)) {}

FormattingStream FormattingStream::start(Body body) {
    auto [items, continuation] = platform::AsyncStream<Item>::makeStream();
    auto outcome = std::make_shared<Outcome>();
    platform::Task<void> task([body = std::move(body), continuation, outcome] {
        FormattingEnd end;
        std::exception_ptr error;
        try {
            end = body([&continuation](const std::string& piece) { continuation.yield(piece); });
        } catch (const std::exception& failure) {
            // A cancelled exchange fails with whatever its transport throws
            // on the way out; the consumer asked for it, so it is no failure.
            if (platform::isCancelled()) {
                end = FormattingEnd{FormattingEnd::Kind::cancelled, {}};
            } else {
                end = FormattingEnd{FormattingEnd::Kind::failed, failure.what()};
                error = std::current_exception();
            }
        } catch (...) {
            end = FormattingEnd{platform::isCancelled() ? FormattingEnd::Kind::cancelled : FormattingEnd::Kind::failed, {}};
            if (!platform::isCancelled()) error = std::current_exception();
        }
        {
            std::lock_guard lock(outcome->mutex);
            outcome->end = end;
        }
        // The consumer becomes the error's only owner, so it is never
        // destroyed on this thread while the consumer reads it.
        if (error) continuation.yield(std::exchange(error, nullptr));
        continuation.finish();
    });
    continuation.setOnTermination([task](auto) { task.cancel(); });
    return FormattingStream(std::move(items), std::move(outcome));
}

const std::string* FormattingStream::next() {
    std::optional<Item> item = items_.next();
    if (!item) return nullptr;
    if (auto* error = std::get_if<std::exception_ptr>(&*item)) std::rethrow_exception(*error);
    text_ += std::get<std::string>(*item);
    return &text_;
}

FormattingEnd FormattingStream::ending() const {
    std::lock_guard lock(outcome_->mutex);
    return outcome_->end;
}

}  // namespace dictaro
