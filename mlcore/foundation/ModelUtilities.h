#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/coreml/MLModel.h"
#include "platform/foundation/URL.h"

// Static helpers that find a model's files and read its interface. A
// namespace, so that the engine can add helpers of its own beside these.
namespace celvan::ModelUtilities {

// "<folder>/<name>.mlmodelc", unless only the package
// "<folder>/<name>.mlpackage/Data/com.apple.CoreML/model.mlmodel" exists, in
// which case that. With recursive, the first "<name>.mlmodelc" anywhere in
// the folder's tree instead (packages are not looked for then). When nothing
// is found the top-level compiled path comes back all the same; the caller's
// load reports it missing.
platform::URL detectModelURL(const platform::URL& inFolder, const std::string& named,
                             bool recursive = false);

// The first compiled model directly in the folder, else the model file of
// the first package there; absent when there is neither or the folder cannot
// be listed.
std::optional<platform::URL> detectModelURL(const platform::URL& inFolder);

// Dimension `position` of the shape constraint of a multi-array input
// (output); absent for no model, no such feature, another feature type, no
// constraint, or a position outside the shape.
std::optional<int64_t> getModelInputDimension(const std::shared_ptr<platform::MLModel>& model,
                                              const std::string& named, int64_t position);
std::optional<int64_t> getModelOutputDimension(const std::shared_ptr<platform::MLModel>& model,
                                               const std::string& named, int64_t position);

}  // namespace celvan::ModelUtilities
