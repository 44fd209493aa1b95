#include "app/ui/APIKeyWriter.h"

#include "app/formatting/FormattingConfig.h"
#include "app/formatting/KeychainHelper.h"

namespace dictaro {

APIKeyWriter& APIKeyWriter::shared() {
    // Never destroyed: a write still queued at exit must not find it gone.
    static APIKeyWriter& writer = *new APIKeyWriter();
    return writer;
}

APIKeyWriter::APIKeyWriter() : queue_("com.pelmaroven.dictaro.api-keys") {}

void APIKeyWriter::write(FormattingProvider provider, std::string key, std::function<void(bool stored)> done) {
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        generation = ++generation_;
        pending_[provider] = {std::move(key), generation};
    }
    queue_.post([this, provider, generation, done = std::move(done)] {
        std::string text;
        {
            std::lock_guard lock(mutex_);
            const auto newest = pending_.find(provider);
            if (newest == pending_.end() || newest->second.generation != generation) return;
            text = newest->second.text;
        }
        const bool stored = FormattingConfig::setAPIKey(text, provider);
        {
            std::lock_guard lock(mutex_);
            const auto newest = pending_.find(provider);
            if (newest != pending_.end() && newest->second.generation == generation) pending_.erase(newest);
        }
        if (done) done(stored);
    });
}

std::string APIKeyWriter::key(FormattingProvider provider) {
    {
        std::lock_guard lock(mutex_);
        if (const auto queued = pending_.find(provider); queued != pending_.end()) return queued->second.text;
    }
    return KeychainHelper::get(apiKeyAccount(provider)).value_or("");
}

void APIKeyWriter::waitUntilWritten() {
    queue_.run([] {});
}

}  // namespace dictaro
