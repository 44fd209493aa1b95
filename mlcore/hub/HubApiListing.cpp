#include <unordered_set>

#include "mlcore/foundation/FoundationExtensions.h"
#include "mlcore/foundation/JSONSerializationBOM.h"
#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/Hub.h"
#include "mlcore/hub/HubApi.h"
#include "platform/foundation/DecodingError.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JsonReader.h"

namespace celvan {

namespace {

// A key written twice counts with its later value, as in any decoder.
const platform::JSONValue* member(const platform::JSONValue::Object& object, std::string_view key) {
    const platform::JSONValue* found = nullptr;
    for (const auto& [name, value] : object) {
        if (name == key) found = &value;
    }
    return found;
}

// Only "siblings" and each sibling's "rfilename" matter; the hub sends many
// more fields, which are ignored.
HubApi::SiblingsResponse decodeSiblings(const std::vector<uint8_t>& body) {
    using platform::DecodingError;
    platform::JSONValue document;
    try {
        document = platform::jsonObject(body);
    } catch (const platform::JSONReadError& error) {
        throw DecodingError(DecodingError::Kind::dataCorrupted,
                            std::string("The listing is not valid JSON: ") + error.what());
    }
    const auto* object = document.object();
    if (object == nullptr) throw DecodingError(DecodingError::Kind::typeMismatch, "The listing is not a JSON object.");
    const auto* siblings = member(*object, "siblings");
    if (siblings == nullptr) throw DecodingError(DecodingError::Kind::keyNotFound, "The listing has no \"siblings\".");
    if (siblings->array() == nullptr) {
        throw DecodingError(DecodingError::Kind::typeMismatch, "The listing's \"siblings\" is not an array.");
    }

    HubApi::SiblingsResponse response;
    for (const auto& sibling : *siblings->array()) {
        const auto* entry = sibling.object();
        const auto* name = entry == nullptr ? nullptr : member(*entry, "rfilename");
        if (name == nullptr || name->string() == nullptr) {
            throw DecodingError(DecodingError::Kind::keyNotFound, "A sibling of the listing has no \"rfilename\" text.");
        }
        response.siblings.push_back({*name->string()});
    }
    return response;
}

}  // namespace

std::vector<std::string> HubApi::getFilenames(const Repo& repo, const std::string& revision,
                                              const std::vector<std::string>& globs) const {
    checkRepoId(repo.id);
    checkRevision(revision);
    const platform::URL url = endpointURL(endpoint)
                                  .appendingPathComponent("api")
                                  .appendingPathComponent(rawValue(repo.type))
                                  .appendingPathComponent(repo.id)
                                  .appendingPathComponent("revision")
                                  .appendingComponent(revision);
    const auto response = decodeSiblings(httpGet(url).first);

    std::vector<std::string> names;
    names.reserve(response.siblings.size());
    for (const auto& sibling : response.siblings) names.push_back(sibling.rfilename);
    // One hostile name means the listing cannot be trusted at all, so it is
    // refused before any file of it is fetched, selected or not.
    for (const auto& name : names) checkRelativeFilename(name);
    if (globs.empty()) return names;

    std::unordered_set<std::string> selected;
    for (const auto& glob : globs) {
        for (auto& name : matching(names, glob)) selected.insert(std::move(name));
    }
    return {selected.begin(), selected.end()};
}

Config HubApi::configuration(const platform::URL& fileURL) const {
    const auto bytes = platform::FileManager::contents(fileURL.path());
    if (!bytes) {
        const auto reason = platform::FileManager::fileExists(fileURL.path()) ? std::errc::io_error
                                                                              : std::errc::no_such_file_or_directory;
        throw platform::FileSystemError("read", fileURL.path(), std::make_error_code(reason));
    }
    platform::JSONValue parsed;
    try {
        parsed = bomPreservingJsonObject(*bytes);
    } catch (const platform::JSONReadError&) {
        throw Hub::HubClientError::jsonSerialization(
            fileURL, "JSON Serialization failed for " + fileURL.description() +
                         ". Please verify that you have set the HF_TOKEN environment variable.");
    }
    if (parsed.object() == nullptr) throw Hub::HubClientError::parse();
    return Config::convertToBinaryDistinctKeys(parsed);
}

}  // namespace celvan
