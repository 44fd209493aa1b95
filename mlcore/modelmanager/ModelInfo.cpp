#include "mlcore/modelmanager/ModelInfo.h"

#include <utility>

namespace celvan {

namespace {

// An empty level names no folder, the same as an absent one.
bool hasLevel(const std::optional<std::string>& level) { return level && !level->empty(); }

// The model's folder relative to the repository root, or its glob form.
std::string folderPath(const ModelInfo& info, bool asGlob) {
    // A level is matched literally: a "*" or "[" in a name would otherwise
    // select folders the lookup never reads.
    const auto literal = [asGlob](const std::string& level) {
        if (!asGlob) return level;
        std::string escaped;
        for (char c : level) {
            if (c == '*' || c == '?' || c == '[' || c == '\\') escaped += '\\';
            escaped += c;
        }
        return escaped;
    };
    std::string path = literal(info.name);
    if (hasLevel(info.version)) path += "/" + literal(*info.version);
    if (hasLevel(info.variant)) path += "/" + literal(*info.variant);
    return path;
}

const char* unitWord(platform::MLComputeUnits units) {
    switch (units) {
        case platform::MLComputeUnits::cpuOnly: return "cpuOnly";
        case platform::MLComputeUnits::cpuAndGPU: return "cpuAndGPU";
        case platform::MLComputeUnits::all: return "all";
        case platform::MLComputeUnits::cpuAndNeuralEngine: return "cpuAndNeuralEngine";
    }
    return "unknown";
}

}  // namespace

ModelInfo::ModelInfo(std::optional<std::string> version, std::optional<std::string> variant, std::string name,
                     platform::MLComputeUnits computeUnits)
    : version(std::move(version)), variant(std::move(variant)), name(std::move(name)), computeUnits(computeUnits) {}

// The glob's "*" also matches "/", so one trailing "*" takes in the files of
// nested folders (a compiled model is a folder of folders). Built from the
// same levels as the local folder, so that whatever it fetches is where the
// lookup reads it.
std::string ModelInfo::downloadPattern() const { return folderPath(*this, true) + "/*"; }

platform::URL ModelInfo::modelURL(const platform::URL& baseURL) const {
    platform::URL url = baseURL.appendingPathComponent(name);
    if (hasLevel(version)) url = url.appendingPathComponent(*version);
    if (hasLevel(variant)) url = url.appendingPathComponent(*variant);
    return url;
}

std::optional<platform::URL> ModelInfo::findBaseFolder(const platform::URL& in) const {
    platform::URL url = in;
    if (url.pathComponents().size() < 2) return std::nullopt;
    for (;;) {
        if (url.lastPathComponent() == name) return url.deletingLastPathComponent();
        url = url.deletingLastPathComponent();
        if (url.pathComponents().size() < 2) return std::nullopt;
    }
}

std::string ModelInfo::description() const { return folderPath(*this, false); }

std::string ModelInfo::debugDescription() const {
    return "ModelInfo(name: " + name + ", version: " + version.value_or("nil") +
           ", variant: " + variant.value_or("nil") + ", computeUnit: " + unitWord(computeUnits) + ")";
}

}  // namespace celvan
