#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mlcore/foundation/Config.h"
#include "platform/concurrency/Progress.h"
#include "platform/foundation/JsonValue.h"
#include "platform/foundation/URL.h"
#include "platform/log/SystemLog.h"
#include "platform/net/HTTPURLResponse.h"

namespace celvan {

class RedirectSessionActor;

// The client of a model hub that speaks the Hugging Face hub protocol, with
// its local cache. A value: copies share nothing mutable and may be used from
// any task at once.
class HubApi {
public:
    enum class RepoType { models, datasets, spaces };

    struct Repo {
        std::string id;
        RepoType type = RepoType::models;

        // {"id": ..., "type": <raw value>}; a type other than the three raw
        // values is a platform::DecodingError.
        static Repo decode(const platform::JSONValue& value);
        platform::JSONValue encode() const;

        friend bool operator==(const Repo&, const Repo&) = default;
    };

    // A failure about the local cache or the client's mode of work.
    class EnvironmentError : public std::runtime_error {
    public:
        enum class Kind { invalidMetadataError, offlineModeError, fileIntegrityError, fileWriteError };

        static EnvironmentError invalidMetadataError(const std::string& text) {
            return {Kind::invalidMetadataError, text, "Invalid metadata: " + text};
        }
        static EnvironmentError offlineModeError(const std::string& text) {
            return {Kind::offlineModeError, text, "Offline mode error: " + text};
        }
        static EnvironmentError fileIntegrityError(const std::string& text) {
            return {Kind::fileIntegrityError, text, "File integrity check failed: " + text};
        }
        static EnvironmentError fileWriteError(const std::string& text) {
            return {Kind::fileWriteError, text, "Failed to write file: " + text};
        }

        Kind kind() const noexcept { return kind_; }
        const std::string& payload() const noexcept { return payload_; }

    private:
        EnvironmentError(Kind kind, std::string payload, const std::string& message)
            : std::runtime_error(message), kind_(kind), payload_(std::move(payload)) {}

        Kind kind_;
        std::string payload_;
    };

    // The listing of a repository, as the hub answers it.
    struct Sibling {
        std::string rfilename;
    };
    struct SiblingsResponse {
        std::vector<Sibling> siblings;
    };

    // What one HEAD answer says about a file.
    struct FileMetadata {
        std::optional<std::string> commitHash;
        std::optional<std::string> etag;
        std::string location;
        std::optional<int64_t> size;
        // The hub sent "X-Linked-Etag": the file lives in large-file
        // storage, where its tag is the SHA-256 of its content.
        bool linked = false;
    };

    // The content of one ".metadata" file.
    struct LocalDownloadFileMetadata {
        std::string commitHash;
        std::string etag;
        std::string filename;
        // Seconds since 1970-01-01 UTC.
        double timestamp = 0;
    };

    class HubFileDownloader;

    static constexpr const char* defaultEndpoint = "https://huggingface.co";

    // Absent arguments are found in the environment: the token through
    // "HF_TOKEN", "HUGGING_FACE_HUB_TOKEN" and the token files, the endpoint
    // through "HF_ENDPOINT", the cache under the user's Documents folder.
    explicit HubApi(std::optional<platform::URL> downloadBase = std::nullopt,
                    std::optional<std::string> hfToken = std::nullopt,
                    std::optional<std::string> endpoint = std::nullopt, bool useBackgroundSession = false,
                    std::optional<bool> useOfflineMode = std::nullopt);

    // Status 200 to 299 gives the body; failures are Hub::HubClientError.
    std::pair<std::vector<uint8_t>, platform::HTTPURLResponse> httpGet(const platform::URL& url) const;
    // Status 200 to 399 gives the answer; redirects to another host are not
    // followed, so their "Location" can be read.
    platform::HTTPURLResponse httpHead(const platform::URL& url) const;
    FileMetadata getFileMetadata(const platform::URL& url) const;

    // The repository's file names that match any glob (fnmatch without
    // flags), each once and in no set order; every name when `globs` is
    // empty, in listing order. A listing that holds a name which could
    // reach outside the repository folder is refused whole.
    std::vector<std::string> getFilenames(const Repo& repo, const std::string& revision,
                                          const std::vector<std::string>& globs = {}) const;

    using SnapshotProgressHandler = std::function<void(const platform::Progress&)>;
    // Brings the files that match the globs into the repository folder and
    // returns that folder. Offline (by choice, or with no network) it only
    // checks the cached copy against its records. Throws
    // platform::CancellationError when the calling task is cancelled.
    platform::URL snapshot(const Repo& repo, const std::string& revision = "main",
                           const std::vector<std::string>& globs = {},
                           const SnapshotProgressHandler& progressHandler = {}) const;

    // A JSON object file as a Config with code-unit keys; byte-order marks
    // inside strings are kept.
    Config configuration(const platform::URL& fileURL) const;

    // Absent when there is no record; a damaged record is logged, deleted and
    // counts as absent.
    std::optional<LocalDownloadFileMetadata> readDownloadMetadata(const platform::URL& metadataPath) const;
    void writeDownloadMetadata(const std::string& commitHash, const std::string& etag,
                               const platform::URL& metadataPath) const;
    // 64 lower-case hexadecimal digits.
    std::string computeFileHash(const platform::URL& file) const;

    // An http or https address with a host; anything else is
    // Hub::HubClientError::parseError.
    static platform::URL endpointURL(const std::string& endpoint);

    // One leading "W/" and the surrounding double quotes removed.
    static std::optional<std::string> normalizeEtag(const std::optional<std::string>& etag);

    // Whether the pattern matches the whole text; a pattern that does not
    // compile matches nothing.
    static bool matchesPattern(const std::string& pattern, std::string_view text);

    static const platform::log::Logger& logger();
    // The session of every HEAD request of the process.
    static RedirectSessionActor& redirectSession();

    platform::URL downloadBase;
    std::optional<std::string> hfToken;
    std::string endpoint;
    bool useBackgroundSession = false;
    std::optional<bool> useOfflineMode;
    std::string sha256Pattern = "^[0-9a-f]{64}$";
    std::string commitHashPattern = "^[0-9a-f]{40}$";
};

std::string rawValue(HubApi::RepoType type);
std::optional<HubApi::RepoType> repoTypeFromRawValue(const std::string& rawValue);

}  // namespace celvan
