#include "mlcore/hub/HubApi.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "mlcore/hub/NetworkMonitor.h"
#include "platform/foundation/FileManager.h"
#include "platform/text/Regex.h"

namespace celvan {

namespace {

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

std::string trimmedWhiteSpace(std::string_view text) {
    constexpr std::string_view kWhiteSpace = " \t\r\n\v\f";
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kWhiteSpace);
    return std::string(text.substr(first, last - first + 1));
}

// A token goes into a request header, where a line break would start a
// header of its own; such a token is no token at all.
std::optional<std::string> usableToken(std::optional<std::string> token) {
    if (!token || token->empty() || hasControlCharacter(*token)) return std::nullopt;
    return token;
}

// Editors leave a line end after the token; it was never part of it.
std::optional<std::string> tokenFromFile(const std::string& path) {
    auto bytes = platform::FileManager::contents(platform::FileManager::expandingTildeInPath(path));
    if (!bytes) return std::nullopt;
    return usableToken(trimmedWhiteSpace(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
}

std::optional<std::string> hfTokenFromEnv() {
    if (auto token = usableToken(environmentValue("HF_TOKEN"))) return token;
    if (auto token = usableToken(environmentValue("HUGGING_FACE_HUB_TOKEN"))) return token;
    if (auto path = environmentValue("HF_TOKEN_PATH")) {
        if (auto token = tokenFromFile(*path)) return token;
    }
    if (auto home = environmentValue("HF_HOME")) {
        if (auto token = tokenFromFile(*home + "/token")) return token;
    }
    const std::string userHome = platform::FileManager::homeDirectoryPath();
    if (auto token = tokenFromFile(userHome + "/.cache/huggingface/token")) return token;
    return tokenFromFile(userHome + "/.huggingface/token");
}

}  // namespace

HubApi::HubApi(std::optional<platform::URL> downloadBase, std::optional<std::string> hfToken,
               std::optional<std::string> endpoint, bool useBackgroundSession, std::optional<bool> useOfflineMode)
    : downloadBase(downloadBase ? *downloadBase
                                : platform::URL::fileURLWithPath(platform::FileManager::homeDirectoryPath() +
                                                                     "/Documents/huggingface",
                                                                 true)),
      endpoint(endpoint ? *endpoint : environmentValue("HF_ENDPOINT").value_or(defaultEndpoint)),
      useBackgroundSession(useBackgroundSession),
      useOfflineMode(useOfflineMode) {
    if (hfToken) {
        // A given token is used as given, an empty one too (which sends no
        // header), unless it could not travel in a header at all.
        if (!hasControlCharacter(*hfToken)) this->hfToken = std::move(hfToken);
    } else {
        this->hfToken = hfTokenFromEnv();
    }
    if (environmentValue("CI_DISABLE_NETWORK_MONITOR") == "1") {
        std::cout << (this->hfToken ? "✅ got token" : "🔴 NO TOKEN **") << std::endl;
    }
    NetworkMonitor::shared()->startMonitoring();
}

bool HubApi::matchesPattern(const std::string& pattern, std::string_view text) {
    try {
        const auto match = platform::text::Regex(pattern).firstMatch(text);
        // "$" also matches before a final line end, which no tag or hash has.
        return match && match->range.begin == 0 && match->range.end == text.size();
    } catch (const platform::text::Regex::Error&) {
        return false;
    }
}

const platform::log::Logger& HubApi::logger() {
    static const platform::log::Logger instance("", "");
    return instance;
}

std::string rawValue(HubApi::RepoType type) {
    switch (type) {
        case HubApi::RepoType::models: return "models";
        case HubApi::RepoType::datasets: return "datasets";
        case HubApi::RepoType::spaces: return "spaces";
    }
    return "models";
}

std::optional<HubApi::RepoType> repoTypeFromRawValue(const std::string& text) {
    if (text == "models") return HubApi::RepoType::models;
    if (text == "datasets") return HubApi::RepoType::datasets;
    if (text == "spaces") return HubApi::RepoType::spaces;
    return std::nullopt;
}

}  // namespace celvan
