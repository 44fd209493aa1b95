#include "speech/model/ModelSupport.h"

#include <algorithm>
#include <unordered_set>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/foundation/Logging.h"
#include "speech/model/Constants.h"

namespace sonoscribe {
namespace {

bool sharesIdentifier(const DeviceSupport& a, const DeviceSupport& b) {
    return std::ranges::any_of(a.identifiers(), [&](const std::string& identifier) {
        return std::ranges::find(b.identifiers(), identifier) != b.identifiers().end();
    });
}

// Remote entries first, each extended by the models of the first built-in
// entry that names one of its identifiers; then the built-in entries that
// the remote ones do not replace.
std::vector<DeviceSupport> mergeDeviceSupport(const std::vector<DeviceSupport>& remote,
                                              const std::vector<DeviceSupport>& fallback) {
    std::unordered_set<std::string> remoteIdentifiers;
    for (const DeviceSupport& entry : remote) remoteIdentifiers.insert(entry.identifiers().begin(), entry.identifiers().end());

    std::vector<DeviceSupport> merged;
    for (const DeviceSupport& entry : remote) {
        auto match = std::ranges::find_if(fallback, [&](const DeviceSupport& f) { return sharesIdentifier(entry, f); });
        if (match == fallback.end()) {
            merged.push_back(entry);
            continue;
        }
        std::vector<std::string> supported = entry.models.supported();
        supported.insert(supported.end(), match->models.supported().begin(), match->models.supported().end());
        merged.emplace_back(entry.chips(), entry.identifiers(),
                            ModelSupport(entry.models.defaultModel(), celvan::orderedSet(supported)));
    }
    for (const DeviceSupport& entry : fallback) {
        bool replaced = std::ranges::any_of(entry.identifiers(), [&](const std::string& identifier) {
            return remoteIdentifiers.contains(identifier);
        });
        if (!replaced) merged.push_back(entry);
    }
    return merged;
}

std::string quotedList(const std::vector<std::string>& names) {
    std::string text = "[";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += ", ";
        text += '"' + names[i] + '"';
    }
    return text + "]";
}

}  // namespace

ModelSupportConfig::ModelSupportConfig(std::string repoName, std::string repoVersion,
                                       std::vector<DeviceSupport> deviceSupports, bool includeFallback)
    : deviceSupports(std::move(deviceSupports)),
      defaultSupport(std::nullopt, {}, ModelSupport("openai_whisper-base", {})),
      repoName_(std::move(repoName)),
      repoVersion_(std::move(repoVersion)) {
    if (includeFallback) {
        const ModelSupportConfig& builtIn = Constants::fallbackModelSupportConfig();
        if (builtIn.repoName().find(repoName_) != std::string::npos) {
            this->deviceSupports = mergeDeviceSupport(this->deviceSupports, builtIn.deviceSupports);
        }
    }

    std::vector<std::string> allSupported;
    for (const DeviceSupport& entry : this->deviceSupports) {
        allSupported.insert(allSupported.end(), entry.models.supported().begin(), entry.models.supported().end());
    }
    knownModels = celvan::orderedSet(allSupported);
    defaultSupport = DeviceSupport(std::nullopt, {}, ModelSupport("openai_whisper-base", knownModels));

    for (DeviceSupport& entry : this->deviceSupports) {
        const auto& supported = entry.models.supported();
        std::unordered_set<std::string> supportedSet(supported.begin(), supported.end());
        entry.models.disabled.clear();
        for (const std::string& name : knownModels) {
            if (!supportedSet.contains(name)) entry.models.disabled.push_back(name);
        }
    }
}

ModelSupport ModelSupportConfig::modelSupport(std::string_view deviceIdentifier) const {
    const DeviceSupport* best = nullptr;
    std::size_t bestLength = 0;
    for (const DeviceSupport& entry : deviceSupports) {
        for (const std::string& identifier : entry.identifiers()) {
            bool matches = deviceIdentifier.starts_with(identifier);
            if (matches && (best == nullptr || identifier.size() > bestLength)) {
                best = &entry;
                bestLength = identifier.size();
            }
        }
    }
    if (best != nullptr) {
        celvan::Logging::debug("Matched " + std::string(deviceIdentifier) + " to devices: " +
                               quotedList(best->identifiers()));
        return best->models;
    }
    celvan::Logging::info("No device support found for " + std::string(deviceIdentifier) + ", using default");
    return defaultSupport.models;
}

void JsonCoder<ModelSupport>::encode(JsonWriter& writer, const ModelSupport& support) {
    writer.beginObject();
    writer.field("default", std::string_view(support.defaultModel()));
    writer.key("supported");
    writer.array(support.supported());
    writer.endObject();
}

ModelSupport JsonCoder<ModelSupport>::decode(const Json& value, const CodingPath& path) {
    json::ObjectReader object(value, path, "ModelSupport");
    return ModelSupport(object.required("default", json::decodeString),
                        object.required("supported", json::decodeStringArray));
}

void JsonCoder<DeviceSupport>::encode(JsonWriter& writer, const DeviceSupport& support) {
    writer.beginObject();
    if (support.chips()) writer.field("chips", std::string_view(*support.chips()));
    writer.key("identifiers");
    writer.array(support.identifiers());
    writer.key("models");
    JsonCoder<ModelSupport>::encode(writer, support.models);
    writer.endObject();
}

DeviceSupport JsonCoder<DeviceSupport>::decode(const Json& value, const CodingPath& path) {
    json::ObjectReader object(value, path, "DeviceSupport");
    auto chips = object.optional("chips", json::decodeString);
    auto identifiers = object.required("identifiers", json::decodeStringArray);
    auto models = object.required("models", JsonCoder<ModelSupport>::decode);
    return DeviceSupport(std::move(chips), std::move(identifiers), std::move(models));
}

void JsonCoder<ModelSupportConfig>::encode(JsonWriter& writer, const ModelSupportConfig& config) {
    writer.beginObject();
    writer.field("name", std::string_view(config.repoName()));
    writer.field("version", std::string_view(config.repoVersion()));
    writer.key("device_support");
    writer.beginArray();
    for (const DeviceSupport& entry : config.deviceSupports) JsonCoder<DeviceSupport>::encode(writer, entry);
    writer.endArray();
    writer.endObject();
}

ModelSupportConfig JsonCoder<ModelSupportConfig>::decode(const Json& value, const CodingPath& path) {
    json::ObjectReader object(value, path, "ModelSupportConfig");
    auto name = object.required("name", json::decodeString);
    auto version = object.required("version", json::decodeString);
    auto entries = object.required("device_support", [](const Json& array, const CodingPath& at) {
        return json::decodeArray<DeviceSupport>(array, at, JsonCoder<DeviceSupport>::decode);
    });
    return ModelSupportConfig(std::move(name), std::move(version), std::move(entries), true);
}

}  // namespace sonoscribe
