#pragma once

#include <optional>
#include <string>

#include "platform/coreml/MLComputeUnits.h"
#include "platform/foundation/URL.h"

namespace celvan {

// One model of a hub repository, kept under <root>/<name>[/<version>][/<variant>].
struct ModelInfo {
    ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
              platform::MLComputeUnits computeUnits);

    std::optional<std::string> version;
    std::optional<std::string> variant;
    std::string name;
    platform::MLComputeUnits computeUnits;

    // The hub glob that selects every file below the model's own folder, at
    // any depth, and nothing outside it.
    std::string downloadPattern() const;
    // The model's folder under a repository root; absent levels are skipped.
    platform::URL modelURL(const platform::URL& baseURL) const;
    // The repository root above a path inside the model: the parent of the
    // last component equal to `name`, the root "/" never counting as one.
    std::optional<platform::URL> findBaseFolder(const platform::URL& in) const;
    // "name[/version][/variant]".
    std::string description() const;
    std::string debugDescription() const;
};

}  // namespace celvan
