#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Named notifications within the process. An observer runs on the thread
// that posts, after the post has let go of the center's lock, so it may add
// or remove observers itself.
class NotificationCenter {
public:
    using Observer = std::function<void()>;

    // Removes its observer when it goes away.
    class Registration {
    public:
        Registration() = default;
        Registration(Registration&&) noexcept = default;
        Registration& operator=(Registration&&) noexcept = default;
        ~Registration() = default;

    private:
        friend class NotificationCenter;
        explicit Registration(std::shared_ptr<void> remover) : remover_(std::move(remover)) {}
        std::shared_ptr<void> remover_;
    };

    static NotificationCenter& defaultCenter();

    [[nodiscard]] Registration addObserver(std::string name, Observer observer);
    void post(std::string_view name);

private:
    struct Entry {
        std::uint64_t id;
        std::string name;
        std::shared_ptr<Observer> observer;
    };

    void remove(std::uint64_t id);

    std::mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t nextID_ = 1;
};

}  // namespace platform
