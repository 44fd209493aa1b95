#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

#include "platform/concurrency/AsyncStream.h"

namespace sonoscribe {

// A stream that can end with an error: next() rethrows it after the values
// yielded before it.
template <class T>
class AsyncThrowingStream {
    using Item = std::variant<T, std::exception_ptr>;
    using Inner = platform::AsyncStream<Item>;

public:
    using Termination = typename Inner::Termination;

    class Continuation {
    public:
        typename Inner::YieldResult yield(T value) const { return inner_.yield(Item(std::move(value))); }
        void finish() const { inner_.finish(); }
        void finish(std::exception_ptr error) const {
            inner_.yield(Item(std::move(error)));
            inner_.finish();
        }
        void setOnTermination(std::function<void(Termination)> handler) const {
            inner_.setOnTermination(std::move(handler));
        }

    private:
        friend class AsyncThrowingStream;
        explicit Continuation(typename Inner::Continuation inner) : inner_(std::move(inner)) {}
        typename Inner::Continuation inner_;
    };

    static std::pair<AsyncThrowingStream, Continuation> makeStream() {
        auto [inner, continuation] = Inner::makeStream();
        return {AsyncThrowingStream(std::move(inner)), Continuation(std::move(continuation))};
    }

    // The next value; none at the end; the stream's error when it failed.
    std::optional<T> next() {
        std::optional<Item> item = inner_.next();
        if (!item) return std::nullopt;
        if (auto* error = std::get_if<std::exception_ptr>(&*item)) std::rethrow_exception(*error);
        return std::get<T>(std::move(*item));
    }

private:
    explicit AsyncThrowingStream(Inner inner) : inner_(std::move(inner)) {}
    Inner inner_;
};

}  // namespace sonoscribe
