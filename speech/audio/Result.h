#pragma once

#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace sonoscribe {

// Success with a value or failure with the error that stopped it, for
// operations that report per input instead of throwing.
template <class Value>
class Result {
public:
    static Result success(Value value) { return Result(std::move(value), nullptr); }
    static Result failure(std::exception_ptr error) { return Result(std::nullopt, std::move(error)); }

    bool isSuccess() const noexcept { return error_ == nullptr; }
    const std::exception_ptr& error() const noexcept { return error_; }

    // The value, or the error rethrown.
    const Value& get() const {
        if (error_) std::rethrow_exception(error_);
        return *value_;
    }

private:
    Result(std::optional<Value> value, std::exception_ptr error) : value_(std::move(value)), error_(std::move(error)) {}

    std::optional<Value> value_;
    std::exception_ptr error_;
};

// Runs body and wraps what it returns or throws.
template <class Body>
auto catchingResult(Body&& body) -> Result<decltype(body())> {
    try {
        return Result<decltype(body())>::success(body());
    } catch (...) {
        return Result<decltype(body())>::failure(std::current_exception());
    }
}

// One entry per result: the value, or none for a failure.
template <class Value>
std::vector<std::optional<Value>> toOptionalArrays(const std::vector<Result<Value>>& results) {
    std::vector<std::optional<Value>> values;
    values.reserve(results.size());
    for (const auto& result : results) values.push_back(result.isSuccess() ? std::optional<Value>(result.get()) : std::nullopt);
    return values;
}

}  // namespace sonoscribe
