#pragma once

#include <exception>
#include <functional>
#include <memory>

namespace celvan {

// A failure held as a copy of the error itself, so that the threads which
// pass it along never share one exception object: each reader gets a new
// one of the same type, made on its own thread. An error of a type not
// named in capture() keeps its message as a std::runtime_error (or
// std::logic_error); one that is no std::exception becomes
// Downloader::DownloadError unexpectedError.
class ErrorValue {
public:
    // No error: exception() gives a null pointer.
    ErrorValue() = default;
    static ErrorValue capture(const std::exception_ptr& error);

    std::exception_ptr exception() const;

private:
    using Maker = std::function<std::exception_ptr()>;
    explicit ErrorValue(std::shared_ptr<const Maker> make) : make_(std::move(make)) {}

    template <class Error>
    static ErrorValue of(const Error& error) {
        return ErrorValue(std::make_shared<const Maker>([error] { return std::make_exception_ptr(error); }));
    }

    std::shared_ptr<const Maker> make_;
};

}  // namespace celvan
