#include "platform/coreml/runtime/WorkerPool.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/concurrency/ThreadPool.h"

namespace platform::coreml::runtime {
namespace {

using Clock = std::chrono::steady_clock;
using Body = std::function<void(int64_t, int64_t)>;

// A prediction hands its workers one short job after another (a decoder step
// is a few hundred of them, each tens of microseconds long). Waking a
// sleeping thread costs about as much as such a job, so workers and callers
// keep polling for this long before they sleep.
constexpr auto kSpinFor = std::chrono::microseconds(300);

template <typename Ready>
bool spinUntil(Ready&& ready) {
    const auto until = Clock::now() + kSpinFor;
    while (true) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            _mm_pause();
        }
        if (Clock::now() >= until) return false;
    }
}

// parallelFor calls in flight at once; a call finding every slot taken runs
// its ranges itself.
constexpr int kSlots = 64;

constexpr uint64_t kIndexBits = 32;
constexpr uint64_t kIndexMask = (uint64_t{1} << kIndexBits) - 1;

// The place of one parallelFor call. Slots live as long as the process and
// serve one call after another, so a worker that looks at a slot while its
// call ends and the next begins touches valid memory; the generation in
// `claim` tells it whether what it read belongs to the call it claims from.
struct alignas(64) Slot {
    // Generation in the high bits, the next range's index in the low bits.
    // A generation is closed (index kIndexMask) while its call is set up.
    std::atomic<uint64_t> claim{kIndexMask};
    std::atomic<int64_t> count{0}, chunk{0}, chunks{0};
    std::atomic<const Body*> body{nullptr};
    std::atomic<bool> taken{false};
    alignas(64) std::atomic<int64_t> done{0};
    std::atomic<bool> callerAsleep{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::exception_ptr error;

    void open(int64_t total, int64_t size, int64_t ranges, const Body& work) {
        const uint64_t generation = (claim.load() >> kIndexBits) + 1;
        claim.store(generation << kIndexBits | kIndexMask);
        count.store(total);
        chunk.store(size);
        chunks.store(ranges);
        body.store(&work);
        done.store(0);
        callerAsleep.store(false);
        error = nullptr;
        claim.store(generation << kIndexBits);
    }

    // Runs ranges until none is left; false when there was none to take.
    // Every read of the call's fields lies between the load of `claim` and
    // the exchange that takes a range, and the next call closes `claim`
    // before it writes them, so a range is only taken with its own call's
    // fields.
    bool work() {
        bool worked = false;
        uint64_t seen = claim.load();
        while (true) {
            const auto index = static_cast<int64_t>(seen & kIndexMask);
            const int64_t ranges = chunks.load(), size = chunk.load(), total = count.load();
            const Body* run = body.load();
            if (index >= ranges) return worked;
            if (!claim.compare_exchange_weak(seen, seen + 1)) continue;
            worked = true;
            const int64_t begin = index * size;
            try {
                (*run)(begin, std::min(total, begin + size));
            } catch (...) {
                std::lock_guard lock(mutex);
                if (!error) error = std::current_exception();
            }
            // The caller announces its sleep before it checks `done` again,
            // and this side counts before it looks, so one of them sees the
            // other.
            if (done.fetch_add(1) + 1 == ranges && callerAsleep.load()) {
                std::lock_guard lock(mutex);
                finished.notify_all();
            }
            seen = claim.load();
        }
    }

    bool complete() const { return done.load() == chunks.load(); }

    void waitUntilComplete() {
        if (spinUntil([&] { return complete(); })) return;
        ThreadPool::BlockingScope blocking;
        std::unique_lock lock(mutex);
        callerAsleep.store(true);
        finished.wait(lock, [&] { return complete(); });
    }
};

// Threads of our own rather than the shared pool's: they poll for the next
// call for a while instead of being woken through a lock for every one, and
// find calls through a mask of open slots without taking any lock.
class Workers {
public:
    static Workers& shared() {
        // Never destroyed: the detached threads may still be polling it while
        // the process exits.
        static Workers* workers = new Workers(workerCount() - 1);
        return *workers;
    }

    // A free slot, marked taken, or null when every one is.
    Slot* take() {
        thread_local unsigned start = static_cast<unsigned>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
        for (unsigned i = 0; i < kSlots; ++i) {
            Slot& slot = slots_[(start + i) % kSlots];
            bool expected = false;
            if (!slot.taken.load() && slot.taken.compare_exchange_strong(expected, true)) {
                start = (start + i) % kSlots;
                return &slot;
            }
        }
        return nullptr;
    }

    void publish(Slot& slot) {
        openSlots_.fetch_or(bit(slot));
        wake();
    }

    void withdraw(Slot& slot) { openSlots_.fetch_and(~bit(slot)); }

    void release(Slot& slot) { slot.taken.store(false); }

    // A worker counts itself asleep before it checks the epoch one last
    // time, and this side moves the epoch before it looks, so one of them
    // sees the other.
    void wake() {
        epoch_.fetch_add(1);
        if (sleepers_.load() > 0) epoch_.notify_all();
    }

private:
    explicit Workers(int threads) {
        for (int i = 0; i < threads; ++i) std::thread([this] { loop(); }).detach();
    }

    uint64_t bit(const Slot& slot) const { return uint64_t{1} << static_cast<unsigned>(&slot - slots_); }

    bool workOnOpenSlots() {
        bool worked = false;
        for (uint64_t open = openSlots_.load(); open != 0; open &= open - 1) {
            worked = slots_[__builtin_ctzll(open)].work() || worked;
        }
        return worked;
    }

    void loop() {
        while (true) {
            // Every call is opened before the epoch moves, so a call opened
            // after this look moves the epoch past `seen`.
            const uint32_t seen = epoch_.load();
            if (workOnOpenSlots()) continue;
            if (spinUntil([&] { return epoch_.load() != seen; })) continue;
            sleepers_.fetch_add(1);
            epoch_.wait(seen);
            sleepers_.fetch_sub(1);
        }
    }

    Slot slots_[kSlots];
    alignas(64) std::atomic<uint64_t> openSlots_{0};
    alignas(64) std::atomic<uint32_t> epoch_{0};
    std::atomic<int> sleepers_{0};
};

}  // namespace

int workerCount() {
    static const int count = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    return count;
}

void wakeWorkers() {
    if (workerCount() > 1) Workers::shared().wake();
}

void parallelFor(int64_t count, int64_t grain, const std::function<void(int64_t begin, int64_t end)>& body) {
    if (count <= 0) return;
    grain = std::max<int64_t>(grain, 1);
    const int64_t chunks = std::min<int64_t>((count + grain - 1) / grain, int64_t{workerCount()} * 4);
    Workers& workers = Workers::shared();
    Slot* slot = chunks > 1 ? workers.take() : nullptr;
    if (!slot) {
        body(0, count);
        return;
    }
    const int64_t chunk = (count + chunks - 1) / chunks;
    slot->open(count, chunk, (count + chunk - 1) / chunk, body);
    workers.publish(*slot);
    slot->work();
    workers.withdraw(*slot);
    slot->waitUntilComplete();
    std::exception_ptr error = std::move(slot->error);
    workers.release(*slot);
    if (error) std::rethrow_exception(error);
}

}  // namespace platform::coreml::runtime
