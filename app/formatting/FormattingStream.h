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
//
// Only the new pieces travel from the producer to the consumer, which joins
// them itself: handing over the whole text each time would copy a long
// answer over and over, and could buffer many copies of it for a slow reader.
class FormattingStream {
public:
    // Hands on the next piece of text; the consumer's next element is the
    // text so far with it appended.
    using Yield = std::function<void(const std::string& piece)>;
    // One exchange: yields the pieces and tells how it ended.
    using Body = std::function<FormattingEnd(const Yield& yield)>;

    // Starts `body` on the shared pool and returns at once.
    static FormattingStream start(Body body);

    // The next element, valid until the next call; null at the end. Rethrows
    // the stream's error once its elements have been read.
    const std::string* next();

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
        bool operator==(std::default_sentinel_t) const { return current_ == nullptr; }

    private:
        FormattingStream* stream_ = nullptr;
        const std::string* current_ = nullptr;
    };

    Iterator begin() { return Iterator(this); }
    std::default_sentinel_t end() const { return {}; }

private:
    using Item = std::variant<std::string, std::exception_ptr>;
    struct Outcome;

    FormattingStream(platform::AsyncStream<Item> items, std::shared_ptr<Outcome> outcome);

    platform::AsyncStream<Item> items_;
    std::shared_ptr<Outcome> outcome_;
    std::string text_;
};

}  // namespace dictaro
