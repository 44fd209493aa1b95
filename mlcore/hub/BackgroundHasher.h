#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/concurrency/SerialExecutor.h"
#include "platform/crypto/SHA256.h"

namespace celvan {

// The SHA-256 of a body, taken on a queue of its own while the caller goes
// on receiving and writing. Bytes handed to update() must stay in place,
// unchanged, until the next call that waits. A checkpoint marks how far the
// bytes have reached the disk, so that the ones dropped after it can be
// taken back out of the hash.
class BackgroundHasher {
public:
    BackgroundHasher() = default;
    // Waits for the queue, whose jobs refer to this hasher.
    ~BackgroundHasher();
    BackgroundHasher(const BackgroundHasher&) = delete;
    BackgroundHasher& operator=(const BackgroundHasher&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    void checkpoint();

    // These wait until every byte handed over before has been hashed.
    void wait();
    // Forgets the bytes handed over since the last checkpoint.
    void rollBack();
    // Forgets every byte.
    void restart();
    // 64 lower-case hexadecimal digits.
    std::string finalize();

private:
    platform::SerialExecutor queue_{"hub.download.hash"};
    platform::SHA256 hasher_;
    platform::SHA256 checkpoint_;
};

}  // namespace celvan
