#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>

#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/HubApi.h"
#include "mlcore/hub/HubFileDownloader.h"
#include "mlcore/hub/NetworkMonitor.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/foundation/FileManager.h"

namespace celvan {

namespace {

namespace fs = std::filesystem;

// The repository's own files, as paths relative to its folder: hidden
// entries (the ".cache" bookkeeping among them) and anything that is not a
// regular file, symbolic links included, are left out. Sorted, so that a
// check of the cache always meets the files in the same order.
std::vector<std::string> getFileUrls(const platform::URL& repoFolder) {
    const fs::path root = repoFolder.path();
    std::vector<std::string> files;
    std::error_code error;
    fs::recursive_directory_iterator walk(root, error);
    for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        const fs::path& path = walk->path();
        if (path.filename().string().starts_with(".")) {
            walk.disable_recursion_pending();
            continue;
        }
        const auto status = walk->symlink_status(error);
        if (error) break;
        if (fs::is_regular_file(status)) files.push_back(path.lexically_relative(root).generic_string());
    }
    if (error) throw platform::FileSystemError("list the folder", root.string(), error);
    std::sort(files.begin(), files.end());
    return files;
}

void setThroughput(platform::Progress& progress, std::optional<double> speed) {
    if (speed) progress.setUserInfoObject(*speed, platform::Progress::throughputKey);
}

}  // namespace

platform::URL HubApi::snapshot(const Repo& repo, const std::string& revision, const std::vector<std::string>& globs,
                               const SnapshotProgressHandler& progressHandler) const {
    const platform::URL repoFolder = repoDestination(downloadBase, repo);
    const platform::URL metadataFolder = repoMetadataDestination(repoFolder);
    const auto report = [&progressHandler](const platform::Progress& progress) {
        if (progressHandler) progressHandler(progress);
    };

    if (useOfflineMode.value_or(!NetworkMonitor::isNetworkAvailable())) {
        if (!platform::FileManager::fileExists(repoFolder.path())) {
            throw EnvironmentError::offlineModeError("Repository not available locally");
        }
        const auto files = getFileUrls(repoFolder);
        if (files.empty()) throw EnvironmentError::offlineModeError("No files available locally for this repository");
        for (const auto& file : files) {
            const platform::URL fileURL = repoFolder.appendingPathComponent(file);
            const auto metadata = readDownloadMetadata(metadataFolder.appendingPathComponent(file + ".metadata"));
            if (!metadata) {
                throw EnvironmentError::offlineModeError("Metadata not available for " + fileURL.lastPathComponent());
            }
            if (matchesPattern(sha256Pattern, metadata->etag) && computeFileHash(fileURL) != metadata->etag) {
                throw EnvironmentError::fileIntegrityError("Hash mismatch for " + fileURL.lastPathComponent());
            }
        }
        return repoFolder;
    }

    const auto names = getFilenames(repo, revision, globs);
    const auto overall = platform::Progress::create(static_cast<int64_t>(names.size()));
    for (const auto& name : names) {
        platform::checkCancellation();
        const auto fileProgress = platform::Progress::create(100);
        overall->addChild(fileProgress, 1);
        const HubFileDownloader downloader{*this, repo,    revision, repoFolder,          metadataFolder,
                                           name,  hfToken, endpoint, useBackgroundSession};
        downloader.download([&](double fraction, std::optional<double> speed) {
            if (std::isfinite(fraction)) {
                fileProgress->setCompletedUnitCount(static_cast<int64_t>(std::clamp(fraction, 0.0, 1.0) * 100));
            }
            setThroughput(*fileProgress, speed);
            setThroughput(*overall, speed);
            report(*overall);
        });
        // A folder handed back after a cancellation would look complete to
        // the caller while files are missing from it.
        platform::checkCancellation();
        fileProgress->setCompletedUnitCount(100);
    }
    report(*overall);
    return repoFolder;
}

}  // namespace celvan
