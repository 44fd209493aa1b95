#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLSessionTask.h"

namespace platform {

class CurlTransfer;

// The body of a response, read piece by piece as it arrives. Reading happens
// on the calling thread; memory stays bounded however large the body is,
// because the transfer pauses while the reader falls behind.
class AsyncBytes {
public:
    AsyncBytes(std::unique_ptr<CurlTransfer> transfer, HTTPURLResponse response,
               std::shared_ptr<URLSessionTask> task);
    AsyncBytes(AsyncBytes&&) noexcept;
    AsyncBytes& operator=(AsyncBytes&&) noexcept;
    // Abandons a transfer that was not read to its end.
    ~AsyncBytes();

    const HTTPURLResponse& response() const noexcept { return response_; }
    const std::shared_ptr<URLSessionTask>& task() const noexcept { return task_; }

    // The next piece of the body, valid until the next call; empty at the end.
    // Throws URLError when the transfer fails or is cancelled.
    std::span<const std::uint8_t> next();
    // Copies the bytes that come next straight into `into`, without a
    // buffer of the transfer's own in between, and returns how many; 0 at
    // the end. `into` must not be empty.
    std::size_t read(std::span<std::uint8_t> into);

private:
    std::unique_ptr<CurlTransfer> transfer_;
    HTTPURLResponse response_;
    std::shared_ptr<URLSessionTask> task_;
};

}  // namespace platform
