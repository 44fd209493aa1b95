#include "mlcore/hub/BackgroundHasher.h"

namespace celvan {

BackgroundHasher::~BackgroundHasher() { wait(); }

void BackgroundHasher::update(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) queue_.post([this, bytes] { hasher_.update(bytes); });
}

void BackgroundHasher::checkpoint() {
    queue_.post([this] { checkpoint_ = hasher_; });
}

void BackgroundHasher::wait() {
    queue_.run([] {});
}

void BackgroundHasher::rollBack() {
    queue_.run([this] { hasher_ = checkpoint_; });
}

void BackgroundHasher::restart() {
    queue_.run([this] {
        hasher_ = platform::SHA256();
        checkpoint_ = platform::SHA256();
    });
}

std::string BackgroundHasher::finalize() {
    return queue_.run([this] { return hasher_.finalize().hexString(); });
}

}  // namespace celvan
