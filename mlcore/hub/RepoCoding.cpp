#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubWrapper.h"
#include "platform/foundation/DecodingError.h"

namespace celvan {

namespace {

const std::string& stringMember(const platform::JSONValue& value, const std::string& key) {
    const auto* members = value.object();
    if (!members) throw platform::DecodingError(platform::DecodingError::Kind::typeMismatch, "Expected an object");
    const platform::JSONValue* found = nullptr;
    for (const auto& [name, member] : *members) {
        if (name == key) found = &member;
    }
    if (!found) throw platform::DecodingError(platform::DecodingError::Kind::keyNotFound, "No value for \"" + key + "\"");
    if (!found->string()) {
        throw platform::DecodingError(platform::DecodingError::Kind::typeMismatch, "\"" + key + "\" is no string");
    }
    return *found->string();
}

HubApi::RepoType decodeType(const platform::JSONValue& value) {
    const std::string& text = stringMember(value, "type");
    auto type = repoTypeFromRawValue(text);
    if (!type) {
        throw platform::DecodingError(platform::DecodingError::Kind::dataCorrupted,
                                      "Cannot initialize RepoType from invalid String value " + text);
    }
    return *type;
}

platform::JSONValue encodeRepo(const std::string& id, const std::string& type) {
    return platform::JSONValue(platform::JSONValue::Object{{"id", id}, {"type", type}});
}

}  // namespace

HubApi::Repo HubApi::Repo::decode(const platform::JSONValue& value) {
    return {stringMember(value, "id"), decodeType(value)};
}

platform::JSONValue HubApi::Repo::encode() const { return encodeRepo(id, rawValue(type)); }

HubApiWrapper::Repo HubApiWrapper::Repo::decode(const platform::JSONValue& value) {
    return toWrapperRepo(HubApi::Repo::decode(value));
}

platform::JSONValue HubApiWrapper::Repo::encode() const { return encodeRepo(id, rawValue(type)); }

}  // namespace celvan
