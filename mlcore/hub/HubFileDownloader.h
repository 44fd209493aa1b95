#pragma once

#include <functional>
#include <optional>
#include <string>

#include "mlcore/hub/HubApi.h"
#include "platform/foundation/URL.h"

namespace celvan {

// Brings one file of a hub repository into the local cache: asks the hub
// for the file's metadata, keeps the cached copy when its commit, etag or
// SHA-256 still matches, and otherwise downloads it through a partial file
// that is verified before it replaces anything.
class HubApi::HubFileDownloader {
public:
    // Fraction done (0 to 1) and bytes per second when known.
    using ProgressHandler = std::function<void(double fraction, std::optional<double> speed)>;

    static constexpr int64_t chunkSize = 10 * 1024 * 1024;

    HubApi hub;
    HubApi::Repo repo;
    std::string revision;
    platform::URL repoDestination;
    platform::URL repoMetadataDestination;
    std::string relativeFilename;
    std::optional<std::string> hfToken;
    std::optional<std::string> endpoint;
    bool backgroundSession = false;

    // Where the file is downloaded from.
    platform::URL source() const;
    // The file in the repository folder.
    platform::URL destination() const;
    platform::URL metadataDestination() const;
    // Whether anything, file or folder, stands at the destination.
    bool downloaded() const;

    // Creates the partial file empty unless it exists; an existing one keeps
    // its bytes.
    void prepareCacheDestination(const platform::URL& incompleteDestination) const;

    // Returns the destination once it holds the hub's current file. Throws
    // platform::CancellationError when the calling task is cancelled during
    // the transfer; the partial file then stays for a later resume.
    platform::URL download(const ProgressHandler& progressHandler) const;
};

}  // namespace celvan
