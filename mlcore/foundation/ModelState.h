#pragma once

#include <string>

namespace celvan {

// Where a set of models stands in its life.
enum class ModelState {
    unloading,
    unloaded,
    loading,
    loaded,
    prewarming,
    prewarmed,
    downloading,
    downloaded,
};

// The text users see; the two prewarm states read "Specializing" and
// "Specialized".
std::string description(ModelState state);

// True while an operation is in progress.
bool isBusy(ModelState state) noexcept;

}  // namespace celvan
