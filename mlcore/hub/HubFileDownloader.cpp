#include "mlcore/hub/HubFileDownloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "mlcore/hub/CacheLayout.h"
#include "mlcore/hub/Downloader.h"
#include "mlcore/hub/Hub.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/Task.h"
#include "platform/concurrency/ThreadPool.h"
#include "platform/crypto/MessageDigest.h"
#include "platform/foundation/FileManager.h"

namespace celvan {

namespace {

constexpr double kTransferTimeout = 10;
constexpr int kTransferRetries = 5;

[[noreturn]] void refuse(const platform::URL& partialFile) {
    platform::FileManager::removeItem(partialFile.path());
    throw HubApi::EnvironmentError::fileIntegrityError("Hash mismatch for " + partialFile.lastPathComponent());
}

// The object id git gives the content: the SHA-1 of "blob <size>", a zero
// byte and the content.
std::string gitBlobId(const platform::URL& file) {
    platform::MessageDigest digest(platform::MessageDigest::Algorithm::sha1);
    digest.update("blob " + std::to_string(std::filesystem::file_size(file.path())));
    digest.update(std::string_view("\0", 1));
    digest.updateFromFile(file.path());
    return platform::MessageDigest::hexString(digest.finalize());
}

// A file is checked before it may replace anything: a large file against its
// SHA-256, a small one against its git object id when its tag has that form;
// a partial file that fails is useless, so it goes. A large file must carry a
// SHA-256, so that a tag of another form cannot turn the check off.
Downloader::Verification verification(const HubApi& hub, const HubApi::FileMetadata& remote,
                                      const std::string& relativeFilename) {
    const std::string& etag = *remote.etag;
    if (HubApi::matchesPattern(hub.sha256Pattern, etag)) {
        return [etag](const platform::URL& partialFile, const std::string& sha256) {
            if (sha256 != etag) refuse(partialFile);
        };
    }
    if (remote.linked) {
        throw HubApi::EnvironmentError::invalidMetadataError("The hub names no SHA-256 for the large file " +
                                                             relativeFilename);
    }
    if (HubApi::matchesPattern(hub.commitHashPattern, etag)) {
        return [etag](const platform::URL& partialFile, const std::string&) {
            if (gitBlobId(partialFile) != etag) refuse(partialFile);
        };
    }
    return {};
}

// Two downloads of one file in this process, say two loads of the same
// tokenizer at once, would write the one partial file together, and the
// later would find it moved away. Held for a whole download, so the later
// one then finds the file in place and fetches nothing.
class DestinationLock {
public:
    explicit DestinationLock(const std::string& path) : mutex_(mutexFor(path)) {
        const platform::ThreadPool::BlockingScope waiting;
        lock_ = std::unique_lock(*mutex_);
    }

private:
    static std::shared_ptr<std::mutex> mutexFor(const std::string& path) {
        static std::mutex registryMutex;
        static std::map<std::string, std::weak_ptr<std::mutex>> registry;
        const std::lock_guard guard(registryMutex);
        std::erase_if(registry, [](const auto& entry) { return entry.second.expired(); });
        std::weak_ptr<std::mutex>& slot = registry[path];
        auto mutex = slot.lock();
        if (!mutex) {
            mutex = std::make_shared<std::mutex>();
            slot = mutex;
        }
        return mutex;
    }

    std::shared_ptr<std::mutex> mutex_;
    std::unique_lock<std::mutex> lock_;
};

}  // namespace

platform::URL HubApi::HubFileDownloader::source() const {
    platform::URL url = HubApi::endpointURL(endpoint.value_or(HubApi::defaultEndpoint));
    if (repo.type != RepoType::models) url = url.appendingPathComponent(rawValue(repo.type));
    checkRepoId(repo.id);
    checkRevision(revision);
    checkRelativeFilename(relativeFilename);
    return url.appendingPathComponent(repo.id)
        .appendingPathComponent("resolve")
        .appendingComponent(revision)
        .appendingPathComponent(relativeFilename);
}

platform::URL HubApi::HubFileDownloader::destination() const {
    checkRelativeFilename(relativeFilename);
    return repoDestination.appendingPathComponent(relativeFilename);
}

platform::URL HubApi::HubFileDownloader::metadataDestination() const {
    return metadataFileLocation(repoMetadataDestination, relativeFilename);
}

bool HubApi::HubFileDownloader::downloaded() const { return platform::FileManager::fileExists(destination().path()); }

void HubApi::HubFileDownloader::prepareCacheDestination(const platform::URL& incompleteDestination) const {
    platform::FileManager::createDirectory(incompleteDestination.deletingLastPathComponent().path());
    // An empty file has no content that a crash could tear, so creating it
    // needs none of the syncing of an atomic write.
    const std::string path = incompleteDestination.path();
    const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (file >= 0) {
        ::close(file);
    } else if (errno != EEXIST) {
        throw platform::FileSystemError("create", path, std::error_code(errno, std::generic_category()));
    }
}

platform::URL HubApi::HubFileDownloader::download(const ProgressHandler& progressHandler) const {
    const platform::URL fileURL = source();
    const platform::URL target = destination();
    const platform::URL metadataPath = metadataDestination();
    const DestinationLock exclusive(target.path());

    const auto local = hub.readDownloadMetadata(metadataPath);
    const FileMetadata remote = hub.getFileMetadata(fileURL);

    const std::string remoteCommit = remote.commitHash.value_or("");
    if (HubApi::matchesPattern(hub.commitHashPattern, remoteCommit) && downloaded() && local &&
        local->commitHash == remoteCommit) {
        return target;
    }
    if (!remote.commitHash || !remote.etag || !remote.size || remote.location.empty()) {
        throw EnvironmentError::invalidMetadataError("File metadata must have been retrieved from server");
    }
    const std::string& etag = *remote.etag;
    const Downloader::Verification verifyBeforeMove = verification(hub, remote, relativeFilename);

    if (downloaded()) {
        if ((local && local->etag == etag) ||
            (HubApi::matchesPattern(hub.sha256Pattern, etag) && hub.computeFileHash(target) == etag)) {
            hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
            return target;
        }
    }

    const platform::URL partialFile = incompleteFileLocation(repoMetadataDestination, relativeFilename, etag);
    prepareCacheDestination(partialFile);
    auto downloader = Downloader::create(target, partialFile, backgroundSession, chunkSize);

    const bool completed = platform::withTaskCancellationHandler(
        [&] {
            auto states = downloader->download(fileURL, hfToken, std::nullopt, remote.size, kTransferTimeout,
                                               kTransferRetries, verifyBeforeMove);
            while (auto state = states.next()) {
                switch (state->kind()) {
                    case Downloader::DownloadState::Kind::notStarted: break;
                    case Downloader::DownloadState::Kind::downloading:
                        if (progressHandler) progressHandler(state->fraction(), state->speed());
                        break;
                    case Downloader::DownloadState::Kind::completed: return true;
                    case Downloader::DownloadState::Kind::failed:
                        if (platform::isCancelled()) return false;
                        std::rethrow_exception(state->error());
                }
            }
            return false;
        },
        [downloader] { platform::Task<void>([downloader] { downloader->cancel(); }); });

    if (!completed) {
        // The transfer must have let go of the partial file before anyone
        // may resume it; then the caller learns that nothing was finished.
        downloader->cancel();
        throw platform::CancellationError();
    }
    hub.writeDownloadMetadata(*remote.commitHash, etag, metadataPath);
    return target;
}

}  // namespace celvan
