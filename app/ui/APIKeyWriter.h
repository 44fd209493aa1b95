#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "app/formatting/FormattingProvider.h"
#include "platform/concurrency/SerialExecutor.h"

namespace dictaro {

// Hands the API keys typed into the settings to the secret store on a queue
// of its own, in the order they were typed, so that a slow secret service
// never holds up the typing. Keystrokes that pile up behind a slow write are
// folded: once the queue gets to a provider, only its newest text is
// written. One for the process, never destroyed.
class APIKeyWriter {
public:
    static APIKeyWriter& shared();

    // Queues `key` for `provider` (an empty or blank text deletes the key).
    // `done` learns, on the queue's thread, whether the store took it; a text
    // folded into a newer one is never reported.
    void write(FormattingProvider provider, std::string key, std::function<void(bool stored)> done);

    // The provider's key as it stands once the queue is through: the newest
    // text queued for it, else what the store holds ("" when none).
    std::string key(FormattingProvider provider);

    // Waits until every text queued so far has been written.
    void waitUntilWritten();

private:
    struct Pending {
        std::string text;
        std::uint64_t generation = 0;
    };

    APIKeyWriter();

    platform::SerialExecutor queue_;
    std::mutex mutex_;
    std::map<FormattingProvider, Pending> pending_;
    std::uint64_t generation_ = 0;
};

}  // namespace dictaro
