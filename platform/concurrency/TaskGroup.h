#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/TaskState.h"
#include "platform/concurrency/ThreadPool.h"

namespace platform {

// Structured concurrency for one scope: child tasks run on the pool with
// tokens that are children of the group's, and the group's token is a child of
// the creating task's, so cancelling that task cancels every child. Leaving
// the scope waits for all children; leaving it by an exception cancels them
// first. Results come back in the order the children finish. For T = void,
// next() yields std::monostate.
template <class T>
class TaskGroup {
public:
    using Result = detail::Stored<T>;

    TaskGroup()
        : core_(std::make_shared<Core>(newGroupToken())), exceptionsOnEntry_(std::uncaught_exceptions()) {}

    ~TaskGroup() {
        if (std::uncaught_exceptions() > exceptionsOnEntry_) cancelAll();
        // Errors of children nobody asked for are dropped along with them.
        core_->waitForAllFinished();
    }

    TaskGroup(const TaskGroup&) = delete;
    TaskGroup& operator=(const TaskGroup&) = delete;

    // Starts a child; in a cancelled group it starts already cancelled.
    template <class F>
        requires std::is_invocable_r_v<T, F&>
    void addTask(F&& body) {
        auto child = std::make_shared<detail::TaskState<T>>(std::forward<F>(body), core_->token.childToken());
        core_->childStarted();
        try {
            ThreadPool::shared().submit([core = core_, child] {
                child->runIfUnclaimed();
                core->childFinished(child);
            });
        } catch (...) {
            core_->childNeverStarted();
            throw;
        }
    }

    template <class F>
        requires std::is_invocable_r_v<T, F&>
    bool addTaskUnlessCancelled(F&& body) {
        if (isCancelled()) return false;
        addTask(std::forward<F>(body));
        return true;
    }

    // The next child to finish: its result, or its exception rethrown. None
    // once every child has been collected.
    std::optional<Result> next() {
        std::shared_ptr<detail::TaskState<T>> child = core_->takeFinished();
        if (!child) return std::nullopt;
        return child->takeResult();
    }

    // Waits for every child. The first child to throw cancels the others; its
    // exception is rethrown once all of them are done.
    void waitForAll() {
        std::exception_ptr first;
        for (;;) {
            try {
                if (!next()) break;
            } catch (...) {
                if (!first) {
                    first = std::current_exception();
                    cancelAll();
                }
            }
        }
        if (first) std::rethrow_exception(first);
    }

    void cancelAll() noexcept { core_->token.cancel(); }
    bool isCancelled() const noexcept { return core_->token.isCancelled(); }

    // True when no child is left to collect.
    bool isEmpty() const { return core_->outstandingChildren() == 0; }

private:
    struct Core {
        explicit Core(CancellationToken groupToken) : token(std::move(groupToken)) {}

        void childStarted() {
            std::lock_guard lock(mutex);
            ++outstanding;
        }

        void childNeverStarted() {
            std::lock_guard lock(mutex);
            --outstanding;
        }

        void childFinished(std::shared_ptr<detail::TaskState<T>> child) {
            {
                std::lock_guard lock(mutex);
                finished.push_back(std::move(child));
            }
            changed.notify_all();
        }

        std::shared_ptr<detail::TaskState<T>> takeFinished() {
            std::unique_lock lock(mutex);
            if (outstanding == 0) return nullptr;
            if (finished.empty()) {
                lock.unlock();
                ThreadPool::BlockingScope blocking;
                lock.lock();
                changed.wait(lock, [this] { return !finished.empty(); });
            }
            auto child = std::move(finished.front());
            finished.pop_front();
            --outstanding;
            return child;
        }

        void waitForAllFinished() {
            while (takeFinished()) {
            }
        }

        std::size_t outstandingChildren() {
            std::lock_guard lock(mutex);
            return outstanding;
        }

        const CancellationToken token;
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::shared_ptr<detail::TaskState<T>>> finished;
        std::size_t outstanding = 0;
    };

    static CancellationToken newGroupToken() {
        std::optional<CancellationToken> parent = currentCancellationToken();
        return parent ? parent->childToken() : CancellationToken();
    }

    std::shared_ptr<Core> core_;
    const int exceptionsOnEntry_;
};

}  // namespace platform
