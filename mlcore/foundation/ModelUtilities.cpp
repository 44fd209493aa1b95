#include "mlcore/foundation/ModelUtilities.h"

#include <filesystem>
#include <map>
#include <system_error>

#include "platform/foundation/FileManager.h"

namespace celvan::ModelUtilities {
namespace {

using platform::FileManager;
using platform::URL;

constexpr const char* kPackageModelPath = "Data/com.apple.CoreML/model.mlmodel";

std::string compiledName(const std::string& name) { return name + ".mlmodelc"; }

// The first "<name>" in a depth-first walk of the tree, hidden entries and
// package contents included; symbolic links to folders are not followed.
std::optional<URL> findInTree(const URL& folder, const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path root = folder.path();
    fs::recursive_directory_iterator entries(root, fs::directory_options::skip_permission_denied, error);
    for (; !error && entries != fs::recursive_directory_iterator(); entries.increment(error)) {
        if (entries->path().filename() == name) {
            return folder.appendingPathComponent(entries->path().lexically_relative(root).string());
        }
    }
    return std::nullopt;
}

std::optional<int64_t> dimension(const std::map<std::string, platform::MLFeatureDescription>& features,
                                 const std::string& name, int64_t position) {
    const auto found = features.find(name);
    if (found == features.end() || found->second.type != platform::MLFeatureType::multiArray ||
        !found->second.multiArrayConstraint) {
        return std::nullopt;
    }
    const std::vector<int64_t>& shape = found->second.multiArrayConstraint->shape;
    if (position < 0 || position >= static_cast<int64_t>(shape.size())) {
        return std::nullopt;
    }
    return shape[static_cast<std::size_t>(position)];
}

}  // namespace

URL detectModelURL(const URL& inFolder, const std::string& named, bool recursive) {
    const URL compiled = inFolder.appendingPathComponent(compiledName(named));
    const bool compiledExists = FileManager::fileExists(compiled.path());
    if (recursive) {
        return compiledExists ? compiled : findInTree(inFolder, compiledName(named)).value_or(compiled);
    }
    const URL package = inFolder.appendingPathComponent(named + ".mlpackage/" + kPackageModelPath);
    return !compiledExists && FileManager::fileExists(package.path()) ? package : compiled;
}

std::optional<URL> detectModelURL(const URL& inFolder) {
    std::vector<std::string> names;
    try {
        names = FileManager::contentsOfDirectory(inFolder.path());
    } catch (const platform::FileSystemError&) {
        return std::nullopt;
    }
    std::optional<URL> package;
    for (const std::string& name : names) {
        const URL entry = inFolder.appendingPathComponent(name);
        if (entry.pathExtension() == "mlmodelc") {
            return entry;
        }
        if (!package && entry.pathExtension() == "mlpackage") {
            package = entry.appendingPathComponent(kPackageModelPath);
        }
    }
    return package;
}

std::optional<int64_t> getModelInputDimension(const std::shared_ptr<platform::MLModel>& model,
                                              const std::string& named, int64_t position) {
    if (!model) {
        return std::nullopt;
    }
    return dimension(model->modelDescription().inputDescriptionsByName, named, position);
}

std::optional<int64_t> getModelOutputDimension(const std::shared_ptr<platform::MLModel>& model,
                                               const std::string& named, int64_t position) {
    if (!model) {
        return std::nullopt;
    }
    return dimension(model->modelDescription().outputDescriptionsByName, named, position);
}

}  // namespace celvan::ModelUtilities
