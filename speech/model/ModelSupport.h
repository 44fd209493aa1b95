#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "speech/model/JsonCoding.h"

namespace sonoscribe {

// Which model names one family of devices may run, and which it runs when
// the user names none.
class ModelSupport {
public:
    ModelSupport(std::string defaultModel, std::vector<std::string> supported,
                 std::vector<std::string> disabled = {})
        : disabled(std::move(disabled)), defaultModel_(std::move(defaultModel)), supported_(std::move(supported)) {}

    const std::string& defaultModel() const { return defaultModel_; }
    const std::vector<std::string>& supported() const { return supported_; }

    // Known model names that this family may not run; derived, never stored
    // in JSON.
    std::vector<std::string> disabled;

    bool operator==(const ModelSupport&) const = default;

private:
    std::string defaultModel_;
    std::vector<std::string> supported_;
};

// One family of devices: hardware model identifiers or their prefixes
// ("Mac14", "iPad13,4") and the models the family supports.
class DeviceSupport {
public:
    DeviceSupport(std::optional<std::string> chips, std::vector<std::string> identifiers, ModelSupport models)
        : models(std::move(models)), chips_(std::move(chips)), identifiers_(std::move(identifiers)) {}

    // A readable list of chip names; not used for matching.
    const std::optional<std::string>& chips() const { return chips_; }
    const std::vector<std::string>& identifiers() const { return identifiers_; }

    ModelSupport models;

    bool operator==(const DeviceSupport&) const = default;

private:
    std::optional<std::string> chips_;
    std::vector<std::string> identifiers_;
};

// The model-support configuration of a model repository: per device family,
// the supported models, plus what follows from them.
class ModelSupportConfig {
public:
    // With includeFallback, a repository whose name is part of the built-in
    // table's name gets its entries merged with that table. Every entry's
    // disabled list is then computed against knownModels; the derived fields
    // are not recomputed when deviceSupports changes later.
    ModelSupportConfig(std::string repoName, std::string repoVersion, std::vector<DeviceSupport> deviceSupports,
                       bool includeFallback = true);

    const std::string& repoName() const { return repoName_; }
    const std::string& repoVersion() const { return repoVersion_; }

    std::vector<DeviceSupport> deviceSupports;
    // Every supported name of every entry, first occurrence first.
    std::vector<std::string> knownModels;
    // Used when no entry matches: every known model, "openai_whisper-base" by default.
    DeviceSupport defaultSupport;

    // The support of the entry whose identifier is the longest prefix of
    // deviceIdentifier (the earliest entry among equals), else the default.
    ModelSupport modelSupport(std::string_view deviceIdentifier) const;

private:
    std::string repoName_;
    std::string repoVersion_;
};

template <>
struct JsonCoder<ModelSupport> {
    static void encode(JsonWriter& writer, const ModelSupport& support);
    static ModelSupport decode(const Json& value, const CodingPath& path);
};

template <>
struct JsonCoder<DeviceSupport> {
    static void encode(JsonWriter& writer, const DeviceSupport& support);
    static DeviceSupport decode(const Json& value, const CodingPath& path);
};

template <>
struct JsonCoder<ModelSupportConfig> {
    static void encode(JsonWriter& writer, const ModelSupportConfig& config);
    static ModelSupportConfig decode(const Json& value, const CodingPath& path);
};

}  // namespace sonoscribe
