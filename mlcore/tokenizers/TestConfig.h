#pragma once

#include "mlcore/foundation/CelvanCoreError.h"
#include "mlcore/foundation/Config.h"
#include "mlcore/foundation/JSONSerializationBOM.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace celvan {

// A component configuration written as JSON, read the way tokenizer files are.
inline Config testConfig(std::string_view json) {
    return Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(json, {.fragmentsAllowed = true}));
}

// A file of the fetched fixtures (scripts/fetch-fixtures), or none when they
// have not been fetched into this build.
inline std::optional<Config> fixtureConfig(const std::string& relativePath) {
    const char* folder = std::getenv("DICTARO_FIXTURES");
    if (folder == nullptr) return std::nullopt;
    std::ifstream file(std::filesystem::path(folder) / relativePath, std::ios::binary);
    if (!file) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return Config::convertToBinaryDistinctKeys(bomPreservingJsonObject(bytes));
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
            build(testConfig(c.json));
            ADD_FAILURE() << "no error for " << c.json;
        } catch (const CelvanCoreError& error) {
            EXPECT_EQ(std::string(error.what()), c.message) << c.json;
        }
    }
}

} // namespace celvan
