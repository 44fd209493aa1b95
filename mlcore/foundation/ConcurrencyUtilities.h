#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>
#include <utility>

#include "platform/foundation/UUID.h"

namespace celvan {

// A plain, non-re-entrant lock for short critical sections: a body must not
// take the same lock again, nor wait for a thread that needs it.
class UnfairLock final {
public:
    UnfairLock() = default;
    UnfairLock(const UnfairLock&) = delete;
    UnfairLock& operator=(const UnfairLock&) = delete;

    // Runs `body` holding the lock and releases it however body ends.
    template <class Body>
    std::invoke_result_t<Body&> withLock(Body&& body) {
        std::lock_guard guard(lock_);
        return body();
    }

private:
    std::mutex lock_;
};

// A value whose every read and write happens under a lock. Copies get their
// own value but share the lock. A read followed by a write is two separate
// holds, so a change that must not lose a concurrent one goes through
// withLock. In JSON it is the bare value.
template <class Value>
class PropertyLock {
public:
    PropertyLock()
        requires std::is_default_constructible_v<Value>
        : PropertyLock(Value{}) {}

    explicit PropertyLock(Value wrappedValue)
        : lock_(std::make_shared<UnfairLock>()), value_(std::move(wrappedValue)) {}

    PropertyLock(const PropertyLock& other) : lock_(other.lock_), value_(other.wrappedValue()) {}

    PropertyLock& operator=(const PropertyLock& other) {
        if (this != &other) {
            Value copy = other.wrappedValue();
            lock_ = other.lock_;
            setWrappedValue(std::move(copy));
        }
        return *this;
    }

    Value wrappedValue() const {
        return lock_->withLock([this] { return value_; });
    }

    void setWrappedValue(Value value) {
        lock_->withLock([&] { value_ = std::move(value); });
    }

    // Runs `change` on the value under the lock, as one step.
    template <class Change>
    std::invoke_result_t<Change&, Value&> withLock(Change&& change) {
        return lock_->withLock([&]() -> decltype(auto) { return change(value_); });
    }

    template <class Read>
    std::invoke_result_t<Read&, const Value&> withLock(Read&& read) const {
        return lock_->withLock([&]() -> decltype(auto) { return read(std::as_const(value_)); });
    }

    bool sharesLockWith(const PropertyLock& other) const noexcept { return lock_ == other.lock_; }

private:
    std::shared_ptr<UnfairLock> lock_;
    Value value_;
};

// A weak reference that tasks on any thread may read and replace.
template <class T>
class WeakSendableWrapper {
public:
    explicit WeakSendableWrapper(const std::shared_ptr<T>& value) : value_(value) {}

    // The object while it is still alive, else null.
    std::shared_ptr<T> value() const {
        std::lock_guard guard(mutex_);
        return value_.lock();
    }

    void setValue(const std::shared_ptr<T>& value) {
        std::lock_guard guard(mutex_);
        value_ = value;
    }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<T> value_;
};

// Early-stop flags, one per decoding run. Entries stay until removed.
class EarlyStopActor {
public:
    void set(bool value, const platform::UUID& uuid);
    // False when the run has no entry.
    bool get(const platform::UUID& uuid) const;
    // The removed flag; none when the run had no entry.
    std::optional<bool> remove(const platform::UUID& uuid);
    // Flags held now: every run that removed its own leaves none behind.
    std::size_t count() const;

private:
    mutable std::mutex mutex_;
    std::map<platform::UUID, bool> shouldStop_;
};

struct ConcurrencyUtilities {
    ConcurrencyUtilities() = delete;

    // Processors this process may use, read anew on every call.
    static int activeProcessorCount();
};

}  // namespace celvan

namespace nlohmann {

template <class Value>
struct adl_serializer<celvan::PropertyLock<Value>> {
    template <class Json>
    static void to_json(Json& json, const celvan::PropertyLock<Value>& wrapper) {
        wrapper.withLock([&](const Value& value) { json = encodeBare<Json>(value); });
    }

    template <class Json>
    static celvan::PropertyLock<Value> from_json(const Json& json) {
        return celvan::PropertyLock<Value>(decodeBare<Json>(json));
    }

    template <class Json>
    static void from_json(const Json& json, celvan::PropertyLock<Value>& wrapper) {
        wrapper = from_json(json);
    }

private:
    template <class T>
    struct IsOptional : std::false_type {};
    template <class T>
    struct IsOptional<std::optional<T>> : std::true_type {};

    template <class Json>
    static Json encodeBare(const Value& value) {
        if constexpr (IsOptional<Value>::value) {
            if (!value) return nullptr;
            return Json(*value);
        } else {
            return Json(value);
        }
    }

    template <class Json>
    static Value decodeBare(const Json& json) {
        if constexpr (IsOptional<Value>::value) {
            if (json.is_null()) return std::nullopt;
            return json.template get<typename Value::value_type>();
        } else {
            return json.template get<Value>();
        }
    }
};

}  // namespace nlohmann
