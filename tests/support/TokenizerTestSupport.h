#pragma once

#include "mlcore/foundation/Config.h"
#include "mlcore/foundation/JSONSerializationBOM.h"
#include "mlcore/hub/HubWrapper.h"
#include "mlcore/tokenizers/AutoTokenizer.h"
#include "mlcore/tokenizers/UnsupportedConfigurationError.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace celvan::testing {

// Any JSON value, a bare null or string included, read the way tokenizer
// files are.
inline Config configFromJson(std::string_view json) {
    return Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(json, {.fragmentsAllowed = true}));
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A folder of the real tokenizer files that the setup script fetched; the
// test fails when they are missing rather than passing without them.
inline std::filesystem::path fixtureFolder(const std::string& name) {
    const char* root = std::getenv("DICTARO_FIXTURES");
    const std::filesystem::path folder = std::filesystem::path(root ? root : "build/fixtures") / name;
    if (!std::filesystem::exists(folder / "tokenizer.json")) {
        ADD_FAILURE() << "missing fixture " << folder << "; run scripts/fetch-fixtures";
    }
    return folder;
}

inline Config fixtureConfig(const std::string& name, const std::string& file) {
    return configFromJson(readFile(fixtureFolder(name) / file));
}

// A hub client for loading from folders that takes no token, endpoint or
// cache from the machine it runs on.
inline const HubApiWrapper& folderHubApi() {
    static const HubApiWrapper hubApi(
        platform::URL::fileURLWithPath((std::filesystem::temp_directory_path() / "celvan-no-cache").string(), true),
        std::string(), "http://127.0.0.1:9");
    return hubApi;
}

// Loaded strictly, as the speech engine loads.
inline std::shared_ptr<const Tokenizer> tokenizerFromFolder(const std::filesystem::path& folder) {
    return AutoTokenizer::fromModelFolder(platform::URL::fileURLWithPath(folder.string(), true), folderHubApi(), true);
}

struct RejectedConfiguration {
    std::string json;
    std::string message;
};

// Each configuration must fail to build with exactly its message.
template <typename Build>
void expectRejected(const std::vector<RejectedConfiguration>& cases, Build build) {
    for (const auto& c : cases) {
        try {
            build(configFromJson(c.json));
            ADD_FAILURE() << "no error for " << c.json;
        } catch (const UnsupportedConfigurationError& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.json;
        }
    }
}

} // namespace celvan::testing
