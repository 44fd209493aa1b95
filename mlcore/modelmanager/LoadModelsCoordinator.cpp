#include "mlcore/modelmanager/LoadModelsCoordinator.h"

#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

#include "mlcore/foundation/CelvanCoreError.h"
#include "mlcore/hub/ErrorValue.h"
#include "mlcore/modelmanager/ModelDownloaderError.h"

namespace celvan {

namespace {

// Copies are built from the message itself, so that they do not even share
// its characters.
template <class Error>
std::function<std::exception_ptr()> remade(const std::exception& error, Error (*make)(const std::string&)) {
    return [message = std::string(error.what()), make] { return std::make_exception_ptr(make(message)); };
}

std::runtime_error runtimeError(const std::string& message) { return std::runtime_error(message); }

std::function<std::exception_ptr()> failureOf(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ModelDownloaderError& thrown) {
        return remade(thrown, &ModelDownloaderError::modelUnavailable);
    } catch (const CelvanCoreError& thrown) {
        return remade(thrown, &CelvanCoreError::invalidConfiguration);
    } catch (const std::exception& thrown) {
        if (typeid(thrown) == typeid(std::runtime_error)) return remade(thrown, &runtimeError);
    } catch (...) {
    }
    return [value = ErrorValue::capture(error)] { return value.exception(); };
}

}  // namespace

void LoadModelsCoordinator::rethrow(const Failure& failure) {
    if (failure) std::rethrow_exception(failure());
}

void LoadModelsCoordinator::run(std::function<void()> operation) {
    std::unique_lock lock(mutex_);
    if (inflightLoad_) {
        const platform::Task<Failure> joined = *inflightLoad_;
        lock.unlock();
        rethrow(joined.value());
        return;
    }
    // Stored before anyone waits, so every caller from now on joins it.
    const platform::Task<Failure> started([operation = std::move(operation)]() -> Failure {
        try {
            operation();
            return {};
        } catch (...) {
            return failureOf(std::current_exception());
        }
    });
    inflightLoad_ = started;
    lock.unlock();

    Failure failure = started.value();
    // Forgotten whatever its outcome, so that a failed run is not handed to
    // the callers that come after it.
    lock.lock();
    inflightLoad_.reset();
    lock.unlock();
    rethrow(failure);
}

}  // namespace celvan
