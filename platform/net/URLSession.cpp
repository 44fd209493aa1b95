#include "platform/net/URLSession.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/net/CurlTransfer.h"

namespace platform {

namespace {

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A new, empty file of our own in the temporary folder.
std::pair<std::FILE*, std::filesystem::path> createDownloadFile(const std::string& url) {
    std::string pattern = (std::filesystem::temp_directory_path() / "dictaro-download-XXXXXX").string();
    int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0) throw URLError(URLError::Code::cannotCreateFile, url, std::strerror(errno));
    std::FILE* file = ::fdopen(descriptor, "wb");
    if (file == nullptr) {
        ::close(descriptor);
        std::filesystem::remove(pattern);
        throw URLError(URLError::Code::cannotCreateFile, url, std::strerror(errno));
    }
    return {file, pattern};
}

}  // namespace

struct URLSession::Started {
    std::unique_ptr<CurlTransfer> transfer;
    HTTPURLResponse response;
};

std::shared_ptr<URLSession> URLSession::make(URLSessionConfiguration configuration,
                                             std::shared_ptr<URLSessionDelegate> delegate) {
    return std::shared_ptr<URLSession>(new URLSession(std::move(configuration), std::move(delegate)));
}

std::shared_ptr<URLSession> URLSession::shared() {
    static const std::shared_ptr<URLSession> session = make(URLSessionConfiguration::defaultConfiguration());
    return session;
}

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate)
    : configuration_(std::move(configuration)), share_(std::make_unique<CurlShare>()), delegate_(std::move(delegate)) {}

URLSession::~URLSession() = default;

std::shared_ptr<URLSessionTask> URLSession::makeTask(const URLRequest& request) {
    std::lock_guard lock(mutex_);
    if (invalidated_) throw URLError(URLError::Code::cancelled, request.url, "the session was invalidated");
    std::erase_if(tasks_, [](const auto& task) { return task->state() == URLSessionTask::State::completed; });
    auto task = std::make_shared<URLSessionTask>(nextTaskIdentifier_++, request);
    tasks_.push_back(task);
    return task;
}

std::shared_ptr<URLSessionDelegate> URLSession::currentDelegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

std::vector<std::shared_ptr<URLSessionTask>> URLSession::allTasks() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<URLSessionTask>> running;
    for (const auto& task : tasks_) {
        if (task->state() != URLSessionTask::State::completed) running.push_back(task);
    }
    return running;
}

void URLSession::invalidateAndCancel() {
    std::vector<std::shared_ptr<URLSessionTask>> tasks;
    {
        std::lock_guard lock(mutex_);
        invalidated_ = true;
        delegate_.reset();
        tasks.swap(tasks_);
    }
    for (const auto& task : tasks) task->cancel();
}

void URLSession::finish(const std::shared_ptr<URLSessionTask>& task) { task->markCompleted(); }

URLSession::Started URLSession::start(const URLRequest& request, const std::shared_ptr<URLSessionTask>& task) {
    const auto delegate = currentDelegate();
    URLRequest current = request;
    for (int redirects = 0;; ++redirects) {
        if (!isHTTPAddress(current.url)) throw URLError(URLError::Code::unsupportedURL, current.url);
        auto transfer = std::make_unique<CurlTransfer>(*share_, current, task);
        HTTPURLResponse head = transfer->awaitHead();
        auto location = head.value("Location");
        std::optional<std::string> target;
        if (isRedirectStatus(head.statusCode) && location) target = resolveAddress(current.url, *location);
        if (!target) return {std::move(transfer), std::move(head)};

        URLRequest proposed = current;
        proposed.url = *target;
        if (head.statusCode == 303 && proposed.httpMethod != "HEAD") {
            proposed.httpMethod = "GET";
            proposed.httpBody.reset();
        }
        // Credentials meant for one server never travel to another.
        if (!sameOrigin(current.url, *target)) proposed.allHTTPHeaderFields.remove("Authorization");

        std::optional<URLRequest> decision;
        if (delegate) {
            std::lock_guard lock(delegateMutex_);
            decision = delegate->willPerformHTTPRedirection(*task, head, std::move(proposed));
        } else {
            decision = std::move(proposed);
        }
        if (!decision) return {std::move(transfer), std::move(head)};
        if (redirects >= configuration_.httpMaximumRedirects) {
            throw URLError(URLError::Code::httpTooManyRedirects, current.url);
        }
        current = std::move(*decision);
    }
}

std::pair<std::vector<std::uint8_t>, HTTPURLResponse> URLSession::data(const URLRequest& request) {
    auto task = makeTask(request);
    try {
        Started started = start(request, task);
        std::vector<std::uint8_t> body;
        for (auto piece = started.transfer->next(); !piece.empty(); piece = started.transfer->next()) {
            body.insert(body.end(), piece.begin(), piece.end());
        }
        finish(task);
        return {std::move(body), std::move(started.response)};
    } catch (...) {
        finish(task);
        throw;
    }
}

AsyncBytes URLSession::bytes(const URLRequest& request) {
    auto task = makeTask(request);
    try {
        Started started = start(request, task);
        return AsyncBytes(std::move(started.transfer), std::move(started.response), task);
    } catch (...) {
        finish(task);
        throw;
    }
}

std::pair<std::filesystem::path, HTTPURLResponse> URLSession::download(const URLRequest& request) {
    auto task = makeTask(request);
    const auto delegate = currentDelegate();
    auto [file, path] = createDownloadFile(request.url);
    auto report = [&](auto&& call) {
        if (!delegate) return;
        std::lock_guard lock(delegateMutex_);
        call(*delegate);
    };
    try {
        Started started = start(request, task);
        const std::int64_t expected = started.transfer->expectedContentLength();
        std::int64_t written = 0;
        for (auto piece = started.transfer->next(); !piece.empty(); piece = started.transfer->next()) {
            if (std::fwrite(piece.data(), 1, piece.size(), file) != piece.size()) {
                throw URLError(URLError::Code::cannotWriteToFile, request.url, std::strerror(errno));
            }
            written += static_cast<std::int64_t>(piece.size());
            report([&](URLSessionDelegate& d) {
                d.didWriteData(*task, static_cast<std::int64_t>(piece.size()), written, expected);
            });
        }
        std::FILE* finished = std::exchange(file, nullptr);
        if (std::fclose(finished) != 0) {
            throw URLError(URLError::Code::cannotWriteToFile, request.url, std::strerror(errno));
        }
        report([&](URLSessionDelegate& d) { d.didFinishDownloadingTo(*task, path); });
        report([&](URLSessionDelegate& d) { d.didCompleteWithError(*task, nullptr); });
        finish(task);
        return {path, std::move(started.response)};
    } catch (const URLError& error) {
        if (file != nullptr) std::fclose(file);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        report([&](URLSessionDelegate& d) { d.didCompleteWithError(*task, &error); });
        finish(task);
        throw;
    } catch (...) {
        if (file != nullptr) std::fclose(file);
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        finish(task);
        throw;
    }
}

}  // namespace platform
