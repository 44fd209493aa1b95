#pragma once

#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "app/formatting/FormattingEnd.h"
#include "platform/concurrency/AsyncStream.h"

namespace dictaro {

// The growing rewrite of one transcript. Each element is the whole text so
// far. A producer task runs the exchange; the stream ends when it returns,
// with its error when it fails, and normally when it was cancelled. Dropping
// every copy of the stream, or cancelling the consumer's task while it waits,
// cancels the exchange.
class FormattingStream {
public:
    using Yield = std::function<void(const std::string& accumulated)>;
    // One exchange: yields the accumulated text and tells how it ended.
    using Body = std::function<FormattingEnd(const Yield& yield)>;

    // Starts `body` on the shared pool and returns at once.
    static FormattingStream start(Body body);

    // The next element; none at the end. Rethrows the stream's error once its
    // elements have been read.
    std::optional<std::string> next();

    // How the rewrite ended; meaningful once next() has returned none or thrown.
    FormattingEnd ending() const;

    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;
        explicit Iterator(FormattingStream* stream) : stream_(stream), current_(stream->next()) {}
        const std::string& operator*() const { return *current_; }
        Iterator& operator++() {
            current_ = stream_->next();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return !current_; }

    private:
        FormattingStream* stream_ = nullptr;
        std::optional<std::string> current_;
    };

    Iterator begin() { return Iterator(this); }
    std::default_sentinel_t end() const { return {}; }

private:
    using Item = std::variant<std::string, std::exception_ptr>;
    struct Outcome;

    FormattingStream(platform::AsyncStream<Item> items, std::shared_ptr<Outcome> outcome);

    platform::AsyncStream<Item> items_;
    std::shared_ptr<Outcome> outcome_;
};

}  // namespace dictaro
