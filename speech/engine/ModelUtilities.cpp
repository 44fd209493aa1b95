#include "speech/engine/ModelUtilities.h"

#include <algorithm>
#include <set>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/foundation/Logging.h"
#include "mlcore/hub/HubWrapper.h"
#include "mlcore/tokenizers/AutoTokenizerWrapper.h"
#include "platform/foundation/FileManager.h"
#include "speech/model/Constants.h"

namespace sonoscribe::ModelUtilities {
namespace {

using celvan::Logging;

// The position in the variant order of the first variant named in `name`;
// past the end when none is.
std::size_t variantRank(const std::string& name) {
    for (std::size_t i = 0; i < allModelVariants.size(); ++i) {
        if (name.find(description(allModelVariants[i])) != std::string::npos) return i;
    }
    return allModelVariants.size();
}

std::shared_ptr<const WhisperTokenizer> wrapped(celvan::TokenizerWrapper tokenizer, const platform::URL& folder) {
    return std::make_shared<WhisperTokenizerWrapper>(std::move(tokenizer), folder);
}

}  // namespace

ModelSupport modelSupport(const std::string& deviceIdentifier, const std::optional<ModelSupportConfig>& config) {
    return (config ? *config : Constants::fallbackModelSupportConfig()).modelSupport(deviceIdentifier);
}

std::shared_ptr<const WhisperTokenizer> loadTokenizer(ModelVariant variant,
                                                      const std::optional<platform::URL>& tokenizerFolder,
                                                      const std::vector<platform::URL>& additionalSearchPaths,
                                                      bool useBackgroundSession) {
    const std::string name = tokenizerNameForVariant(variant);
    const celvan::HubApiWrapper hubApi(tokenizerFolder, std::nullopt, std::nullopt, useBackgroundSession);
    const platform::URL repoFolder = hubApi.localRepoLocation({name, celvan::HubApiWrapper::RepoType::models});

    std::vector<platform::URL> searchPaths{repoFolder};
    if (tokenizerFolder) searchPaths.push_back(*tokenizerFolder);
    searchPaths.insert(searchPaths.end(), additionalSearchPaths.begin(), additionalSearchPaths.end());

    std::optional<platform::URL> localFolder;
    for (const platform::URL& folder : searchPaths) {
        const std::string file = folder.appendingPathComponent("tokenizer.json").path();
        const bool found = platform::FileManager::fileExists(file);
        Logging::debug("Checking for local tokenizer at " + file + " - " + (found ? "found" : "not found"));
        if (found) {
            localFolder = folder;
            break;
        }
    }
    if (localFolder) {
        Logging::debug("Found local tokenizer at " + localFolder->path());
        Logging::debug("Loading tokenizer from " + localFolder->path());
        try {
            return wrapped(celvan::AutoTokenizerWrapper::fromModelFolder(*localFolder, hubApi, true), *localFolder);
        } catch (const std::exception& error) {
            Logging::debug(std::string("Error loading local tokenizer: ") + error.what());
        }
    } else {
        Logging::debug("No tokenizer found in any local search paths");
    }

    Logging::debug("Downloading tokenizer from Hub at " + repoFolder.absoluteString());
    return wrapped(celvan::AutoTokenizerWrapper::fromPretrained(name, hubApi, true), repoFolder);
}

std::vector<std::string> formatModelFiles(const std::vector<std::string>& modelFiles) {
    std::vector<std::string> markers;
    for (ModelVariant variant : allModelVariants) {
        std::string marker(description(variant));
        if (marker.find("large") == std::string::npos) marker += "/";
        markers.push_back(marker);
    }

    std::set<std::string> folders;
    for (const std::string& path : modelFiles) {
        const std::string folder = path.substr(0, path.find('/')) + "/";
        const bool named = std::any_of(markers.begin(), markers.end(), [&](const std::string& marker) {
            return folder.find(marker) != std::string::npos;
        });
        if (named) folders.insert(folder);
    }

    std::vector<std::string> names;
    for (const std::string& folder : folders) names.push_back(celvan::trimmingFromEnd(folder, "/", 1));
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const std::size_t rankA = variantRank(a);
        const std::size_t rankB = variantRank(b);
        if (rankA != rankB) return rankA < rankB;
        return a < b;
    });
    return names;
}

ModelVariant detectVariant(int64_t logitsDim, int64_t encoderDim) {
    switch (logitsDim) {
    case 51866:
        return ModelVariant::largev3;
    case 51864:
        switch (encoderDim) {
        case 384: return ModelVariant::tinyEn;
        case 768: return ModelVariant::smallEn;
        case 1024: return ModelVariant::mediumEn;
        default: return ModelVariant::baseEn;
        }
    case 51865:
        switch (encoderDim) {
        case 384: return ModelVariant::tiny;
        case 768: return ModelVariant::small;
        case 1024: return ModelVariant::medium;
        case 1280: return ModelVariant::largev2;
        default: return ModelVariant::base;
        }
    default:
        Logging::error("Unrecognized vocabulary size: " + std::to_string(logitsDim) + ", defaulting to base variant");
        return ModelVariant::base;
    }
}

std::string tokenizerNameForVariant(ModelVariant variant) {
    switch (variant) {
    case ModelVariant::tiny: return "openai/whisper-tiny";
    case ModelVariant::tinyEn: return "openai/whisper-tiny.en";
    case ModelVariant::base: return "openai/whisper-base";
    case ModelVariant::baseEn: return "openai/whisper-base.en";
    case ModelVariant::small: return "openai/whisper-small";
    case ModelVariant::smallEn: return "openai/whisper-small.en";
    case ModelVariant::medium: return "openai/whisper-medium";
    case ModelVariant::mediumEn: return "openai/whisper-medium.en";
    case ModelVariant::large: return "openai/whisper-large";
    case ModelVariant::largev2: return "openai/whisper-large-v2";
    case ModelVariant::largev3: return "openai/whisper-large-v3";
    }
    return "openai/whisper-base";
}

}  // namespace sonoscribe::ModelUtilities
