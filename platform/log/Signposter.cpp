#include "platform/log/Signposter.h"

#include <mutex>

namespace platform::log {
namespace {

std::mutex traceMutex;
std::shared_ptr<TraceSink> installedTraceSink;
std::atomic<uint64_t> nextSignpostID{1};

std::shared_ptr<TraceSink> currentTraceSink() {
    std::lock_guard lock(traceMutex);
    return installedTraceSink;
}

} // namespace

std::shared_ptr<TraceSink> setTraceSink(std::shared_ptr<TraceSink> sink) {
    std::lock_guard lock(traceMutex);
    installedTraceSink.swap(sink);
    return sink;
}

SignpostIntervalState::SignpostIntervalState(SignpostID id)
    : id_(id), ended_(std::make_shared<std::atomic<bool>>(false)) {}

Signposter::Signposter(Logger logger) : logger_(std::move(logger)) {}

bool Signposter::isEnabled() const {
    return currentTraceSink() != nullptr;
}

SignpostID Signposter::makeSignpostID() {
    return SignpostID{nextSignpostID.fetch_add(1)};
}

SignpostIntervalState Signposter::beginInterval(std::string_view name, SignpostID id, std::string_view message) {
    if (const auto sink = currentTraceSink()) {
        sink->record({SignpostEventKind::intervalBegin, logger_.subsystem(), logger_.category(), name, id, message});
    }
    return SignpostIntervalState(id);
}

void Signposter::endInterval(std::string_view name, const SignpostIntervalState& state, std::string_view message) {
    const auto sink = currentTraceSink();
    if (!sink) return;
    const bool wasEnded = state.ended_->exchange(true);
    sink->record({SignpostEventKind::intervalEnd, logger_.subsystem(), logger_.category(), name, state.id(),
                  wasEnded ? std::string_view("[Error] Interval already ended") : message});
}

} // namespace platform::log
