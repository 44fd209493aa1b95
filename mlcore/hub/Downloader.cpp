#include "mlcore/hub/Downloader.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <new>
#include <span>
#include <vector>

#include "mlcore/hub/BackgroundHasher.h"
#include "mlcore/hub/BusyServerRetry.h"
#include "mlcore/hub/HeaderNumbers.h"
#include "platform/concurrency/CancellationToken.h"
#include "platform/concurrency/Sleep.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/AsyncBytes.h"
#include "platform/net/URLError.h"
#include "platform/net/URLSession.h"

namespace celvan {

namespace {

// The body is gathered in steps of this size, so a chunk is always a whole
// number of them.
constexpr std::size_t kStagingSize = 16384;
// Once a chunk has reached the disk the connection is worth this many fresh
// attempts, whatever budget the caller started with.
constexpr int kRetriesAfterProgress = 5;
constexpr const char* kBackgroundIdentifier = "plenwood.hub.downloader";

std::error_code lastError() { return {errno, std::generic_category()}; }

std::size_t chunkThreshold(int64_t chunkSize) {
    if (chunkSize <= static_cast<int64_t>(kStagingSize)) return kStagingSize;
    const auto size = static_cast<std::size_t>(chunkSize);
    return (size + kStagingSize - 1) / kStagingSize * kStagingSize;
}

// Memory for one chunk straight from the system, handed back whole when the
// body is read. From the allocator, a freed chunk would stay resident in the
// free lists of whichever pool thread ran the transfer, one per thread.
class ChunkBuffer {
public:
    explicit ChunkBuffer(std::size_t size)
        : size_(size), data_(::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
        if (data_ == MAP_FAILED) throw std::bad_alloc();
    }
    ~ChunkBuffer() { ::munmap(data_, size_); }
    ChunkBuffer(const ChunkBuffer&) = delete;
    ChunkBuffer& operator=(const ChunkBuffer&) = delete;

    uint8_t* data() const noexcept { return static_cast<uint8_t*>(data_); }

private:
    std::size_t size_;
    void* data_;
};

// A chunk never needs more room than the rest of the file, plus one byte to
// notice a body that runs past it.
std::size_t chunkCapacity(std::size_t threshold, std::optional<int64_t> expected, int64_t written) {
    if (!expected) return threshold;
    const int64_t remaining = std::max<int64_t>(0, *expected - written);
    return static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(threshold) - 1, remaining)) + 1;
}

void writeAll(int file, std::span<const uint8_t> bytes, const std::string& path) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(file, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR) continue;
            throw platform::FileSystemError("write", path, lastError());
        }
        done += static_cast<std::size_t>(written);
    }
}

// Empties the partial file and puts the handle back at its start.
void restartFile(int file, const std::string& path) {
    if (::ftruncate(file, 0) != 0 || ::lseek(file, 0, SEEK_SET) < 0) {
        throw platform::FileSystemError("truncate", path, lastError());
    }
}

// Feeds the bytes a resumed partial file already holds to the hasher.
void hashPrefix(int file, int64_t length, BackgroundHasher& hasher, const std::string& path) {
    std::vector<uint8_t> block(1 << 20);
    for (int64_t offset = 0; offset < length;) {
        const auto wanted = static_cast<std::size_t>(std::min<int64_t>(length - offset, static_cast<int64_t>(block.size())));
        const ssize_t count = ::pread(file, block.data(), wanted, offset);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) throw platform::FileSystemError("read", path, count < 0 ? lastError() : std::make_error_code(std::errc::io_error));
        hasher.update(std::span<const uint8_t>(block.data(), static_cast<std::size_t>(count)));
        hasher.wait();
        offset += count;
    }
}

std::string temporarySibling(const std::string& path) {
    return path + ".moving-" + std::to_string(::getpid());
}

std::string statusProblem(int status) {
    std::string problem = "the server answered with HTTP status " + std::to_string(status);
    switch (status) {
        case 403: return problem + " (access refused; a signed download address may have expired)";
        case 404: return problem + " (not found)";
        case 416: return problem + " (the requested range is not satisfiable)";
        case 429: return problem + " (too many requests)";
        case 503: return problem + " (service unavailable)";
        default: return problem;
    }
}

std::string bytesText(int64_t count) { return std::to_string(count) + (count == 1 ? " byte" : " bytes"); }

}  // namespace

const char* description(Downloader::DownloadError::Kind kind) noexcept {
    switch (kind) {
        case Downloader::DownloadError::Kind::invalidDownloadLocation: return "invalidDownloadLocation";
        case Downloader::DownloadError::Kind::unexpectedError: return "unexpectedError";
        case Downloader::DownloadError::Kind::tempFileNotFound: return "tempFileNotFound";
    }
    return "unexpectedError";
}

Downloader::DownloadError::DownloadError(Kind kind)
    : std::runtime_error(std::string("Downloader.DownloadError.") + description(kind)), kind_(kind) {}

Downloader::DownloadError::DownloadError(Kind kind, const std::string& message)
    : std::runtime_error(message), kind_(kind) {}

// Sessions hold their delegate until they are invalidated, which may be
// never; holding the downloader only weakly keeps it from living on.
class Downloader::SessionDelegate : public platform::URLSessionDelegate {
public:
    explicit SessionDelegate(std::weak_ptr<Downloader> owner) : owner_(std::move(owner)) {}

    void didWriteData(platform::URLSessionTask&, std::int64_t, std::int64_t totalBytesWritten,
                      std::int64_t totalBytesExpectedToWrite) override {
        if (auto owner = owner_.lock()) {
            owner->broadcaster_.broadcast(DownloadState::downloading(
                static_cast<double>(totalBytesWritten) / static_cast<double>(totalBytesExpectedToWrite), std::nullopt));
        }
    }

    void didFinishDownloadingTo(platform::URLSessionTask&, const std::filesystem::path& location) override {
        auto owner = owner_.lock();
        if (!owner) return;
        try {
            moveDownloadedFile(platform::URL::fileURLWithPath(location.string(), false), owner->destination_);
            owner->broadcaster_.broadcast(DownloadState::completed(owner->destination_));
        } catch (...) {
            owner->broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
        }
    }

    void didCompleteWithError(platform::URLSessionTask&, const platform::URLError* error) override {
        if (!error) return;
        if (auto owner = owner_.lock()) {
            owner->broadcaster_.broadcast(DownloadState::failed(std::make_exception_ptr(*error)));
        }
    }

private:
    std::weak_ptr<Downloader> owner_;
};

struct Downloader::Transfer {
    platform::URLRequest request;
    int64_t resumeSize = 0;
    // The partial file holds more than the whole file can; it is no
    // beginning of it and starts over.
    bool restart = false;
    int numRetries = 0;
    Verification verifyBeforeMove;
};

std::shared_ptr<Downloader> Downloader::create(platform::URL to, platform::URL incompleteDestination,
                                               bool inBackground, int64_t chunkSize) {
    return std::shared_ptr<Downloader>(
        new Downloader(std::move(to), std::move(incompleteDestination), inBackground, chunkSize));
}

Downloader::Downloader(platform::URL to, platform::URL incompleteDestination, bool inBackground, int64_t chunkSize)
    : destination_(std::move(to)),
      incompleteDestination_(std::move(incompleteDestination)),
      chunkSize_(chunkSize),
      broadcaster_([] { return std::optional(DownloadState::notStarted()); }),
      sessionConfig_(inBackground ? platform::URLSessionConfiguration::background(kBackgroundIdentifier)
                                  : platform::URLSessionConfiguration::defaultConfiguration()) {}

Downloader::~Downloader() = default;

int64_t Downloader::incompleteFileSize(const platform::URL& at) {
    struct stat info {};
    if (::stat(at.path().c_str(), &info) != 0) return 0;
    return static_cast<int64_t>(info.st_size);
}

std::shared_ptr<platform::URLSession> Downloader::openSession() {
    return platform::URLSession::make(sessionConfig_, std::make_shared<SessionDelegate>(weak_from_this()));
}

void Downloader::stopTransferTask() {
    auto previous = task_.get();
    if (!previous) return;
    previous->cancel();
    // Two transfers must never write the same partial file at once.
    previous->value();
}

Downloader::DownloadError Downloader::failure(const std::string& problem) const {
    return DownloadError(DownloadError::Kind::unexpectedError,
                         "Download of " + destination_.lastPathComponent() + " failed: " + problem);
}

std::optional<platform::AsyncStream<Downloader::DownloadState>> Downloader::joinTransfer(const platform::URL& from) {
    const auto session = session_.get();
    if (!session) return std::nullopt;
    for (const auto& task : session->allTasks()) {
        if (task->originalRequest().url != from.absoluteString()) continue;
        switch (task->state()) {
            case platform::URLSessionTask::State::suspended: task->resume(); [[fallthrough]];
            case platform::URLSessionTask::State::running: return broadcaster_.subscribe();
            default: task->cancel(); return std::nullopt;
        }
    }
    return std::nullopt;
}

platform::AsyncStream<Downloader::DownloadState> Downloader::download(
    const platform::URL& from, const std::optional<std::string>& token,
    const std::optional<platform::HTTPHeaderFields>& headers, std::optional<int64_t> expectedSize, double timeout,
    int numRetries, Verification verifyBeforeMove) {
    if (auto joined = joinTransfer(from)) return std::move(*joined);
    stopTransferTask();
    downloadResumeState_.setExpectedSize(expectedSize);
    session_.set(openSession());
    return setUpDownload(from, token, headers, timeout, numRetries, std::move(verifyBeforeMove));
}

platform::AsyncStream<Downloader::DownloadState> Downloader::setUpDownload(
    const platform::URL& from, const std::optional<std::string>& token,
    const std::optional<platform::HTTPHeaderFields>& headers, double timeout, int numRetries,
    Verification verifyBeforeMove) {
    int64_t resumeSize = incompleteFileSize(incompleteDestination_);
    if (!session_.get()) return broadcaster_.subscribe();

    Transfer transfer;
    transfer.request = platform::URLRequest(from.absoluteString());
    if (headers) transfer.request.allHTTPHeaderFields = *headers;
    // An empty token authorises nothing; sending "Bearer " alone only earns
    // a refusal from servers that check it.
    if (token && !token->empty()) transfer.request.setValue("Bearer " + *token, "Authorization");
    // The partial file must hold the file's own bytes, which a later attempt
    // continues by their offset; an encoded body holds other bytes.
    transfer.request.setValue("identity", "Accept-Encoding");
    transfer.request.timeoutInterval = timeout;

    const auto expected = downloadResumeState_.expectedSize();
    transfer.restart = expected && resumeSize > *expected;
    if (transfer.restart) resumeSize = 0;
    transfer.resumeSize = resumeSize;
    transfer.numRetries = numRetries;
    transfer.verifyBeforeMove = std::move(verifyBeforeMove);

    // The first state goes out before the transfer starts, so that a
    // subscriber never hears the previous download's last state first.
    downloadResumeState_.setDownloadedSize(resumeSize);
    double fraction = 0;
    if (resumeSize > 0 && expected && *expected > 0) {
        fraction = static_cast<double>(resumeSize) / static_cast<double>(*expected);
    }
    broadcaster_.broadcast(DownloadState::downloading(fraction, std::nullopt));
    auto states = broadcaster_.subscribe();

    auto self = shared_from_this();
    task_.set(platform::Task<void>([self, transfer = std::move(transfer)]() mutable {
        self->runTransfer(std::move(transfer));
    }));
    return states;
}

void Downloader::runTransfer(Transfer transfer) {
    const std::string path = incompleteDestination_.path();
    int file = -1;
    try {
        file = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (file < 0) throw platform::FileSystemError("open", path, lastError());
        if (transfer.restart) {
            restartFile(file, path);
        } else if (transfer.resumeSize > 0 && ::lseek(file, 0, SEEK_END) < 0) {
            throw platform::FileSystemError("seek in", path, lastError());
        }

        std::optional<BackgroundHasher> hasher;
        if (transfer.verifyBeforeMove) {
            hasher.emplace();
            if (!transfer.restart) hashPrefix(file, transfer.resumeSize, *hasher, path);
            hasher->checkpoint();
        }

        // A partial file that already holds every byte needs no request
        // (one would only be refused as out of range); it goes straight on
        // to verification.
        const auto expected = downloadResumeState_.expectedSize();
        const bool alreadyComplete = expected && transfer.resumeSize > 0 && transfer.resumeSize == *expected;
        if (!alreadyComplete) httpGet(transfer.request, file, transfer.numRetries, hasher ? &*hasher : nullptr);
        platform::checkCancellation();

        const int finished = std::exchange(file, -1);
        if (::close(finished) != 0) throw platform::FileSystemError("close", path, lastError());
        if (hasher) transfer.verifyBeforeMove(incompleteDestination_, hasher->finalize());
        moveDownloadedFile(incompleteDestination_, destination_);
        broadcaster_.broadcast(DownloadState::completed(destination_));
    } catch (...) {
        if (file >= 0) ::close(file);
        broadcaster_.broadcast(DownloadState::failed(std::current_exception()));
    }
}

void Downloader::checkAnswer(const platform::HTTPURLResponse& response, int64_t offset) const {
    const std::string encoding = response.value("Content-Encoding").value_or("identity");
    if (encoding != "identity" && !encoding.empty()) {
        throw failure("the server sent the body with Content-Encoding \"" + encoding + "\", which was not asked for");
    }
    const auto expected = downloadResumeState_.expectedSize();
    int64_t start = 0;
    if (response.statusCode == 206) {
        // Bytes from anywhere but where the file ends would leave a gap or a
        // repeat inside it, and bytes of a file of another length are not
        // this file's.
        const std::string header = response.value("Content-Range").value_or("");
        const auto range = parseContentRange(header);
        if (!range || range->first != offset || (expected && range->total && *range->total != *expected)) {
            throw failure("the answer to a request for the bytes from " + std::to_string(offset) +
                          " on carried Content-Range \"" + header + "\"");
        }
        start = offset;
    }
    const auto length = response.value("Content-Length");
    const auto announced = length ? parseByteCount(*length) : std::nullopt;
    if (expected && announced && *announced != *expected - start) {
        throw failure("the server announced " + bytesText(*announced) + " where " + bytesText(*expected - start) +
                      " were expected");
    }
}

void Downloader::httpGet(const platform::URLRequest& request, int file, int numRetries, BackgroundHasher* hasher) {
    const std::string path = incompleteDestination_.path();
    int budget = numRetries;
    int busyRetries = kBusyServerRetries;
    for (;;) {
        auto session = session_.get();
        if (!session) throw failure("no session was open for the transfer");

        platform::URLRequest attempt = request;
        const int64_t offset = downloadResumeState_.downloadedSize();
        if (offset > 0) {
            attempt.setValue("bytes=" + std::to_string(offset) + "-", "Range");
        } else {
            attempt.allHTTPHeaderFields.remove("Range");
        }

        platform::AsyncBytes body = session->bytes(attempt);
        const platform::HTTPURLResponse& response = body.response();
        if (busyRetries > 0) {
            if (const auto pause = busyServerPause(response)) {
                --busyRetries;
                platform::sleep(*pause);
                continue;
            }
        }
        if (response.statusCode < 200 || response.statusCode > 299) throw failure(statusProblem(response.statusCode));
        checkAnswer(response, offset);
        if (response.statusCode != 206 && offset > 0) {
            // The whole file, not the rest of it: appending would put the
            // beginning after the part we already have.
            restartFile(file, path);
            if (hasher) hasher->restart();
            downloadResumeState_.setDownloadedSize(0);
        }

        int retryBudget = budget;
        try {
            readBody(body, file, retryBudget, hasher);
        } catch (const platform::URLError& error) {
            if (retryBudget <= 0 || error.code() == platform::URLError::Code::cancelled) throw;
            platform::sleep(std::chrono::seconds(1));
            session_.set(openSession());
            budget = retryBudget - 1;
            continue;
        }

        const off_t length = ::lseek(file, 0, SEEK_END);
        if (length < 0) throw platform::FileSystemError("seek in", path, lastError());
        const auto expected = downloadResumeState_.expectedSize();
        if (expected && *expected != static_cast<int64_t>(length)) {
            throw failure("received " + bytesText(length) + " where " + bytesText(*expected) + " were expected");
        }
        return;
    }
}

// The body arrives straight in the chunk, and the hash runs on its own queue
// over the bytes as they gather there, alongside receiving and writing; it
// only has to catch up before the chunk is refilled.
void Downloader::readBody(platform::AsyncBytes& body, int file, int& retryBudget, BackgroundHasher* hasher) {
    const std::string path = incompleteDestination_.path();
    const std::size_t threshold = chunkThreshold(chunkSize_);
    const auto expected = downloadResumeState_.expectedSize();
    int64_t written = downloadResumeState_.downloadedSize();
    const std::size_t capacity = chunkCapacity(threshold, expected, written);
    const ChunkBuffer chunk(capacity);
    std::size_t gathered = 0;
    int64_t writtenAtLastUpdate = written;
    auto lastUpdate = std::chrono::steady_clock::now();
    // Declared after the chunk, so that on every way out the hash lets go of
    // the chunk's bytes before they go, and forgets those never written.
    struct HashRollBack {
        BackgroundHasher* hasher;
        ~HashRollBack() {
            if (hasher) hasher->rollBack();
        }
    } rollBack{hasher};

    for (;;) {
        const std::size_t count = body.read(std::span(chunk.data() + gathered, capacity - gathered));
        if (count == 0) break;
        // More than the whole file can hold is wrong however it ends; stop
        // before it fills the disk.
        if (expected && written + static_cast<int64_t>(gathered + count) > *expected) {
            throw failure("the server sent more than the " + bytesText(*expected) + " expected");
        }
        if (hasher) hasher->update(std::span<const uint8_t>(chunk.data() + gathered, count));
        gathered += count;
        if (gathered < threshold) continue;

        writeAll(file, std::span<const uint8_t>(chunk.data(), gathered), path);
        if (hasher) {
            hasher->checkpoint();
            hasher->wait();
        }
        written += static_cast<int64_t>(gathered);
        downloadResumeState_.addDownloadedSize(static_cast<int64_t>(gathered));
        gathered = 0;
        if (expected) {
            const double fraction = *expected == 0 ? 0 : static_cast<double>(written) / static_cast<double>(*expected);
            const auto now = std::chrono::steady_clock::now();
            const double elapsed = std::chrono::duration<double>(now - lastUpdate).count();
            std::optional<double> speed;
            if (elapsed > 0) speed = static_cast<double>(written - writtenAtLastUpdate) / elapsed;
            lastUpdate = now;
            broadcaster_.broadcast(DownloadState::downloading(fraction, speed));
            writtenAtLastUpdate = written;
        }
        retryBudget = kRetriesAfterProgress;
    }
    if (gathered > 0) {
        writeAll(file, std::span<const uint8_t>(chunk.data(), gathered), path);
        if (hasher) hasher->checkpoint();
        downloadResumeState_.addDownloadedSize(static_cast<int64_t>(gathered));
    }
}

void Downloader::cancel() {
    if (auto session = session_.get()) session->invalidateAndCancel();
    stopTransferTask();
    broadcaster_.broadcast(
        DownloadState::failed(std::make_exception_ptr(platform::URLError(platform::URLError::Code::cancelled))));
}

void moveDownloadedFile(const platform::URL& from, const platform::URL& to) {
    const std::string source = from.path();
    const std::string target = to.path();
    platform::FileManager::createDirectory(std::filesystem::path(target).parent_path().string());

    // rename(2) swaps a file in at once: readers see the old file or the
    // new one, and the old one stays whole until the new one is complete.
    std::error_code error;
    std::filesystem::rename(source, target, error);
    if (!error) return;
    if (error == std::errc::is_a_directory || error == std::errc::directory_not_empty ||
        error == std::errc::file_exists) {
        platform::FileManager::removeItem(target);
        std::filesystem::rename(source, target, error);
        if (!error) return;
    } else if (error == std::errc::cross_device_link) {
        const std::string staged = temporarySibling(target);
        std::filesystem::copy_file(source, staged, std::filesystem::copy_options::overwrite_existing, error);
        if (!error) std::filesystem::rename(staged, target, error);
        if (!error) {
            std::filesystem::remove(source, error);
            return;
        }
        std::error_code ignored;
        std::filesystem::remove(staged, ignored);
    }
    throw platform::FileSystemError("move", source, error);
}

}  // namespace celvan
