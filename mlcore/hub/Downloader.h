#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "mlcore/hub/Broadcaster.h"
#include "mlcore/hub/DownloadActors.h"
#include "mlcore/hub/ErrorValue.h"
#include "platform/concurrency/AsyncStream.h"
#include "platform/foundation/URL.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLSessionConfiguration.h"

namespace celvan {

// Transfers one file from an HTTP address into a partial file, resuming what
// an earlier attempt left there with a ranged request, writing in large
// chunks, retrying after network errors while the body arrives, and moving
// the finished file onto its destination. Lives for one file and is shared
// with its transfer task, so it is always held by a shared_ptr.
class BackgroundHasher;

class Downloader : public std::enable_shared_from_this<Downloader> {
public:
    class DownloadState {
    public:
        enum class Kind { notStarted, downloading, completed, failed };

        static DownloadState notStarted() { return DownloadState(Kind::notStarted); }
        static DownloadState downloading(double fraction, std::optional<double> speed) {
            DownloadState state(Kind::downloading);
            state.fraction_ = fraction;
            state.speed_ = speed;
            return state;
        }
        static DownloadState completed(platform::URL url) {
            DownloadState state(Kind::completed);
            state.url_ = std::move(url);
            return state;
        }
        static DownloadState failed(std::exception_ptr error) {
            DownloadState state(Kind::failed);
            state.error_ = ErrorValue::capture(error);
            return state;
        }

        Kind kind() const noexcept { return kind_; }
        bool isTerminal() const noexcept { return kind_ == Kind::completed || kind_ == Kind::failed; }
        // Of `downloading`: the share done (0 to 1 when the expected size is
        // right) and bytes per second when there is an estimate.
        double fraction() const noexcept { return fraction_; }
        std::optional<double> speed() const noexcept { return speed_; }
        // Of `completed`: where the finished file is.
        const std::optional<platform::URL>& url() const noexcept { return url_; }
        // Of `failed`: a new exception object on every call, so that no two
        // threads ever share one.
        std::exception_ptr error() const { return error_.exception(); }

    private:
        explicit DownloadState(Kind kind) : kind_(kind) {}

        Kind kind_;
        double fraction_ = 0;
        std::optional<double> speed_;
        std::optional<platform::URL> url_;
        ErrorValue error_;
    };

    // A transfer that went wrong. Without a message of its own the text is the
    // case's name; the downloader's own failures say which file and what
    // went wrong: the HTTP status, or the check that failed.
    class DownloadError : public std::runtime_error {
    public:
        enum class Kind { invalidDownloadLocation, unexpectedError, tempFileNotFound };

        explicit DownloadError(Kind kind);
        DownloadError(Kind kind, const std::string& message);
        Kind kind() const noexcept { return kind_; }
        friend bool operator==(const DownloadError& a, const DownloadError& b) { return a.kind_ == b.kind_; }

    private:
        Kind kind_;
    };

    // Runs on the finished partial file before it is moved into place, with
    // the SHA-256 of its content (64 lower-case hexadecimal digits), and
    // throws to refuse it. The digest is taken while the bytes are written,
    // so a large file is not read a second time.
    using Verification = std::function<void(const platform::URL& partialFile, const std::string& sha256)>;

    // `incompleteDestination` must exist before a download starts.
    static std::shared_ptr<Downloader> create(platform::URL to, platform::URL incompleteDestination,
                                              bool inBackground, int64_t chunkSize);

    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Starts the transfer and returns its states; never throws: every
    // failure arrives as a `failed` state. The stream is never finished, so
    // read it up to the first `completed` or `failed`. A present `token`
    // that is not empty goes out as a bearer token. While a transfer of the
    // same address is still under way in the current session, it is joined
    // (resumed first when it is suspended) instead of started over.
    platform::AsyncStream<DownloadState> download(const platform::URL& from, const std::optional<std::string>& token,
                                                  const std::optional<platform::HTTPHeaderFields>& headers,
                                                  std::optional<int64_t> expectedSize, double timeout,
                                                  int numRetries, Verification verifyBeforeMove = {});

    // Stops the transfer and waits until it no longer touches the partial
    // file, which keeps every chunk written so far; subscribers then receive
    // `failed` with the cancellation error.
    void cancel();

    // 0 when there is no file or its size cannot be read.
    static int64_t incompleteFileSize(const platform::URL& at);

    SessionActor& session() noexcept { return session_; }

private:
    class SessionDelegate;
    struct Transfer;

    Downloader(platform::URL to, platform::URL incompleteDestination, bool inBackground, int64_t chunkSize);

    std::shared_ptr<platform::URLSession> openSession();
    std::optional<platform::AsyncStream<DownloadState>> joinTransfer(const platform::URL& from);
    DownloadError failure(const std::string& problem) const;
    // Refuses an answer whose bytes would not continue the partial file at
    // `offset` with the file's own bytes.
    void checkAnswer(const platform::HTTPURLResponse& response, int64_t offset) const;
    // Subscribes the caller before the transfer can report anything, so that
    // no state of this download is missed.
    platform::AsyncStream<DownloadState> setUpDownload(const platform::URL& from, const std::optional<std::string>& token,
                                                       const std::optional<platform::HTTPHeaderFields>& headers,
                                                       double timeout, int numRetries, Verification verifyBeforeMove);
    void runTransfer(Transfer transfer);
    void httpGet(const platform::URLRequest& request, int file, int numRetries, BackgroundHasher* hasher);
    void readBody(class platform::AsyncBytes& body, int file, int& retryBudget, BackgroundHasher* hasher);
    void stopTransferTask();

    const platform::URL destination_;
    const platform::URL incompleteDestination_;
    DownloadResumeState downloadResumeState_;
    const int64_t chunkSize_;
    Broadcaster<DownloadState> broadcaster_;
    const platform::URLSessionConfiguration sessionConfig_;
    SessionActor session_;
    TaskActor task_;
};

// Puts the finished file at `to`, replacing whatever is there; a file that
// stands there stays whole until the new one takes its place.
void moveDownloadedFile(const platform::URL& from, const platform::URL& to);

const char* description(Downloader::DownloadError::Kind kind) noexcept;

}  // namespace celvan
