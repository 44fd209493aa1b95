#include "mlcore/hub/Downloader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/support/HubTestEnvironment.h"
#include "platform/crypto/SHA256.h"
#include "platform/foundation/FileManager.h"
#include "platform/net/URLError.h"

namespace celvan {
namespace {

using testsupport::HubFault;
using Kind = HubFault::Kind;
using State = Downloader::DownloadState;

constexpr int64_t kChunk = 64 * 1024;

class DownloaderTest : public testing::HubTestEnvironment {
protected:
    // Small files only: every transfer goes straight to the file's address.
    std::uint64_t largeFileThreshold() const override { return std::uint64_t(1) << 40; }

    platform::URL partialURL() const { return platform::URL::fileURLWithPath((cache() / "file.incomplete").string()); }
    platform::URL destinationURL() const { return platform::URL::fileURLWithPath((cache() / "out" / "file.bin").string()); }
    std::filesystem::path partial() const { return partialURL().path(); }
    std::filesystem::path destination() const { return destinationURL().path(); }
    platform::URL source() { return *platform::URL::fromString(server().endpoint() + filePath("file.bin")); }

    void preparePartial(const std::string& content) { writeFile(partial(), content); }

    HubFault fault(Kind kind) const {
        HubFault f;
        f.kind = kind;
        f.method = "GET";
        f.path = filePath("file.bin");
        f.times = 1;
        return f;
    }

    // Holds every answer back a moment, so that a test that counts states
    // has subscribed before the transfer broadcasts any; a later subscriber
    // would only hear the latest one.
    void holdAnswers() {
        HubFault hold = fault(Kind::stallBeforeHead);
        hold.seconds = 0.1;
        hold.times = -1;
        server().addFault(hold);
    }

    // A clean slate: no faults, no requests, no cache, and a partial file.
    void startOver(const std::string& partialContent) {
        server().clearFaults();
        server().clearRequests();
        std::filesystem::remove_all(cache());
        preparePartial(partialContent);
    }

    // Serves the next body one chunk at a time, `seconds` apart.
    void trickle(double seconds) {
        HubFault slow = fault(Kind::trickle);
        slow.bytes = kChunk;
        slow.seconds = seconds;
        server().addFault(slow);
    }

    // Starts a download of the whole file and returns its states once the
    // partial file holds `written` bytes, or has been moved into place.
    platform::AsyncStream<State> startAndWaitFor(const std::shared_ptr<Downloader>& downloader, int64_t size,
                                                 std::uintmax_t written) {
        auto stream = downloader->download(source(), std::nullopt, std::nullopt, size, 10, 5);
        std::error_code gone;
        while (std::filesystem::file_size(partial(), gone) < written && !gone) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return stream;
    }

    // The states up to the first terminal one.
    std::vector<State> run(const std::shared_ptr<Downloader>& downloader, std::optional<int64_t> expectedSize,
                           int retries = 5, std::optional<std::string> token = std::nullopt,
                           Downloader::Verification verify = {}) {
        auto stream = downloader->download(source(), token, std::nullopt, expectedSize, 10, retries, std::move(verify));
        std::vector<State> states;
        while (auto state = stream.next()) {
            states.push_back(*state);
            if (state->isTerminal()) break;
        }
        return states;
    }

    std::shared_ptr<Downloader> make(int64_t chunkSize = kChunk) const {
        return Downloader::create(destinationURL(), partialURL(), false, chunkSize);
    }

    std::vector<std::optional<std::string>> rangesAsked() {
        std::vector<std::optional<std::string>> ranges;
        for (const auto& request : server().requests()) ranges.push_back(request.header("Range"));
        return ranges;
    }

    template <class Error>
    static void expectFailure(const State& state, const std::function<void(const Error&)>& check) {
        ASSERT_EQ(state.kind(), State::Kind::failed);
        try {
            std::rethrow_exception(state.error());
        } catch (const Error& error) {
            check(error);
        } catch (const std::exception& other) {
            ADD_FAILURE() << "unexpected failure: " << other.what();
        }
    }

    static void expectUnexpectedError(const State& state) {
        expectFailure<Downloader::DownloadError>(state, [](const Downloader::DownloadError& error) {
            EXPECT_EQ(error.kind(), Downloader::DownloadError::Kind::unexpectedError);
        });
    }
};

TEST_F(DownloaderTest, ResumesAPartialFileWithARangeRequestAndReportsEachWrittenChunk) {
    const std::string content = bytes(4 * kChunk + 100);
    serve("file.bin", content);
    holdAnswers();
    struct Case {
        std::size_t partialSize;
        std::optional<std::string> range;
        std::size_t progressStates;  // besides the first one
    };
    for (const Case& c : {Case{0, std::nullopt, 4}, Case{kChunk, "bytes=65536-", 3}, Case{1000, "bytes=1000-", 3}}) {
        server().clearRequests();
        std::filesystem::remove_all(cache());
        preparePartial(content.substr(0, c.partialSize));
        auto states = run(make(), static_cast<int64_t>(content.size()));

        ASSERT_EQ(states.size(), c.progressStates + 2) << c.partialSize;
        EXPECT_EQ(states.front().kind(), State::Kind::downloading);
        EXPECT_DOUBLE_EQ(states.front().fraction(), static_cast<double>(c.partialSize) / content.size());
        EXPECT_FALSE(states.front().speed());
        for (std::size_t i = 1; i + 1 < states.size(); ++i) {
            EXPECT_GT(states[i].fraction(), states[i - 1].fraction());
        }
        ASSERT_EQ(states.back().kind(), State::Kind::completed);
        EXPECT_EQ(states.back().url()->path(), destination().string());
        EXPECT_EQ(readFile(destination()), content);
        EXPECT_FALSE(std::filesystem::exists(partial()));
        EXPECT_EQ(rangesAsked(), std::vector<std::optional<std::string>>{c.range});
    }
}

TEST_F(DownloaderTest, WithoutAnExpectedSizeThereIsNoProgressAndNoLengthCheck) {
    const std::string content = bytes(3 * kChunk);
    serve("file.bin", content);
    holdAnswers();
    preparePartial("");
    auto states = run(make(), std::nullopt);
    ASSERT_EQ(states.size(), 2u);
    EXPECT_EQ(states[0].kind(), State::Kind::downloading);
    EXPECT_EQ(states[1].kind(), State::Kind::completed);
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, ChunkSizesBelowTheStagingStepWriteEveryStep) {
    const std::string content = bytes(3 * 16384 + 5);
    serve("file.bin", content);
    holdAnswers();
    for (int64_t chunkSize : {int64_t(0), int64_t(-3), int64_t(100)}) {
        std::filesystem::remove_all(cache());
        preparePartial("");
        auto states = run(make(chunkSize), static_cast<int64_t>(content.size()));
        // The first state, one per 16 KiB written, and the completion.
        EXPECT_EQ(states.size(), 5u) << chunkSize;
        EXPECT_EQ(readFile(destination()), content);
    }
}

TEST_F(DownloaderTest, AWholeFileAnsweredToARangeRequestStartsThePartialFileOver) {
    const std::string content = bytes(2 * kChunk + 7);
    serve("file.bin", content);
    preparePartial(content.substr(0, 5000));
    server().addFault(fault(Kind::ignoreRange));
    std::string digest;
    auto states = run(make(), static_cast<int64_t>(content.size()), 5, std::nullopt,
                      [&](const platform::URL&, const std::string& sha256) { digest = sha256; });
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_TRUE(readFile(destination()) == content);
    EXPECT_EQ(digest, platform::SHA256::hash(content).hexString());
}

TEST_F(DownloaderTest, ARangeAnswerThatStartsElsewhereFailsAndLeavesThePartialFile) {
    const std::string content = bytes(2 * kChunk);
    serve("file.bin", content);
    preparePartial(content.substr(0, 5000));
    HubFault shifted = fault(Kind::wrongContentRange);
    shifted.bytes = 10;
    server().addFault(shifted);
    auto states = run(make(), static_cast<int64_t>(content.size()));
    expectUnexpectedError(states.back());
    EXPECT_EQ(readFile(partial()), content.substr(0, 5000));
    EXPECT_FALSE(std::filesystem::exists(destination()));
}

TEST_F(DownloaderTest, APartialFileThatHoldsEveryByteGoesStraightToVerification) {
    const std::string content = bytes(kChunk + 1);
    serve("file.bin", content);
    preparePartial(content);
    int verified = 0;
    auto states = run(make(), static_cast<int64_t>(content.size()), 5, std::nullopt,
                      [&](const platform::URL& file, const std::string& sha256) {
                          EXPECT_EQ(readFile(file.path()), content);
                          EXPECT_EQ(sha256, platform::SHA256::hash(content).hexString());
                          ++verified;
                      });
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_EQ(verified, 1);
    EXPECT_EQ(server().requests().size(), 0u);
    EXPECT_EQ(readFile(destination()), content);
}

TEST_F(DownloaderTest, APartialFileLongerThanTheWholeFileStartsOver) {
    const std::string content = bytes(1000);
    serve("file.bin", content);
    preparePartial(bytes(5000, 3));
    auto states = run(make(), static_cast<int64_t>(content.size()));
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_EQ(readFile(destination()), content);
    EXPECT_EQ(rangesAsked(), std::vector<std::optional<std::string>>{std::nullopt});
}

TEST_F(DownloaderTest, RefusingStatusesAndWrongLengthsFailWithoutARetry) {
    const std::string content = bytes(1000);
    serve("file.bin", content);
    struct Case {
        int status;  // 0: the body length fault below
        std::uint64_t bodyLength;
        std::optional<int64_t> expectedSize;
    };
    for (const Case& c : {Case{404, 0, 1000}, Case{416, 0, 1000}, Case{500, 0, 1000}, Case{0, 999, 1000},
                          Case{0, 1001, 1000}, Case{0, 1000, 0}}) {
        server().clearRequests();
        std::filesystem::remove_all(cache());
        preparePartial("");
        HubFault f = fault(c.status ? Kind::reply : Kind::bodyLength);
        f.status = c.status;
        f.bytes = c.bodyLength;
        server().addFault(f);
        auto states = run(make(), c.expectedSize);
        expectUnexpectedError(states.back());
        EXPECT_EQ(server().requests().size(), 1u) << c.status << " " << c.bodyLength;
        EXPECT_FALSE(std::filesystem::exists(destination()));
    }
}

TEST_F(DownloaderTest, EachFailureNamesTheFileAndWhatWentWrong) {
    const std::string content = bytes(1000);
    serve("file.bin", content);
    const std::string prefix = "Download of file.bin failed: ";
    struct Case {
        std::string name;
        std::vector<HubFault> faults;
        std::string partial;
        std::string message;
        int requests;
    };
    auto reply = [&](int status, std::vector<std::pair<std::string, std::string>> headers = {}) {
        HubFault f = fault(Kind::reply);
        f.status = status;
        f.headers = std::move(headers);
        f.times = -1;
        return f;
    };
    auto faultWith = [&](Kind kind, std::uint64_t count) {
        HubFault f = fault(kind);
        f.bytes = count;
        return f;
    };
    HubFault chunked = fault(Kind::omitHeader);
    chunked.header = "Content-Length";
    const std::vector<Case> cases = {
        {"busy", {reply(503, {{"Retry-After", "0"}})}, "",
         "the server answered with HTTP status 503 (service unavailable)", 4},
        {"too many requests", {reply(429, {{"Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"}})}, "", "the server answered with HTTP status 429 (too many requests)", 4},
        {"a pause longer than a download waits", {reply(503, {{"Retry-After", "3600"}})}, "",
         "the server answered with HTTP status 503 (service unavailable)", 1},
        {"a pause past counting", {reply(503, {{"Retry-After", "99999999999999999999"}})}, "",
         "the server answered with HTTP status 503 (service unavailable)", 1},
        {"an expired address", {reply(403)}, "",
         "the server answered with HTTP status 403 (access refused; a signed download address may have expired)", 1},
        {"a range beyond the file", {reply(416)}, content.substr(0, 300),
         "the server answered with HTTP status 416 (the requested range is not satisfiable)", 1},
        {"a range that starts elsewhere", {faultWith(Kind::wrongContentRange, 5)}, content.substr(0, 300),
         "the answer to a request for the bytes from 300 on carried Content-Range \"bytes 305-999/1000\"", 1},
        {"a shorter announced length", {faultWith(Kind::bodyLength, 999)}, "",
         "the server announced 999 bytes where 1000 bytes were expected", 1},
        {"a shorter body without a length", {faultWith(Kind::bodyLength, 999), chunked}, "",
         "received 999 bytes where 1000 bytes were expected", 1},
        {"a longer body without a length", {faultWith(Kind::bodyLength, 1001), chunked}, "",
         "the server sent more than the 1000 bytes expected", 1},
    };
    for (const Case& c : cases) {
        startOver(c.partial);
        for (const HubFault& f : c.faults) server().addFault(f);
        auto states = run(make(), static_cast<int64_t>(content.size()));
        expectFailure<Downloader::DownloadError>(states.back(), [&](const Downloader::DownloadError& error) {
            EXPECT_EQ(error.kind(), Downloader::DownloadError::Kind::unexpectedError) << c.name;
            EXPECT_EQ(error.what(), prefix + c.message) << c.name;
        });
        EXPECT_EQ(static_cast<int>(server().requests().size()), c.requests) << c.name;
        EXPECT_FALSE(std::filesystem::exists(destination())) << c.name;
    }

    // A busy hub that comes back within its retries costs nothing more.
    startOver("");
    HubFault busy = reply(503, {{"Retry-After", "0"}});
    busy.times = 2;
    server().addFault(busy);
    auto states = run(make(), static_cast<int64_t>(content.size()));
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_EQ(readFile(destination()), content);
    EXPECT_EQ(server().requests().size(), 3u);
}

TEST_F(DownloaderTest, AskingAgainForATransferUnderWayJoinsItAndResumesItWhenSuspended) {
    const std::string content = bytes(24 * kChunk, 13);
    serve("file.bin", content);
    for (const bool suspend : {false, true}) {
        startOver("");
        trickle(0.02);
        auto downloader = make();
        auto first = startAndWaitFor(downloader, static_cast<int64_t>(content.size()), kChunk);
        if (suspend) {
            auto tasks = downloader->session().get()->allTasks();
            ASSERT_EQ(tasks.size(), 1u);
            tasks.front()->suspend();
            const auto held = std::filesystem::file_size(partial());
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            EXPECT_EQ(std::filesystem::file_size(partial()), held) << "a suspended transfer wrote on";
        }
        auto second = downloader->download(source(), std::nullopt, std::nullopt,
                                           static_cast<int64_t>(content.size()), 10, 5);
        for (auto* stream : {&first, &second}) {
            std::optional<State> last;
            while (auto state = stream->next()) {
                last = state;
                if (state->isTerminal()) break;
            }
            ASSERT_TRUE(last.has_value());
            EXPECT_EQ(last->kind(), State::Kind::completed) << suspend;
        }
        EXPECT_TRUE(readFile(destination()) == content) << suspend;
        EXPECT_EQ(server().requestCount("GET"), 1) << suspend;
    }
}

TEST_F(DownloaderTest, AMissingPartialFileFailsWithTheFileSystemError) {
    serve("file.bin", "content");
    auto states = run(make(), 7);
    expectFailure<platform::FileSystemError>(states.back(), [](const platform::FileSystemError& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
    });
}

TEST_F(DownloaderTest, ADroppedConnectionIsRetriedFromTheLastWrittenChunk) {
    const std::string content = bytes(6 * kChunk, 5);
    serve("file.bin", content);
    struct Case {
        int retries;
        std::uint64_t dropAfter;
        bool completes;
        std::vector<std::optional<std::string>> ranges;
    };
    const std::vector<Case> cases = {
        // Two chunks reached the disk; the bytes after them come again.
        {0, 2 * kChunk + 100, true, {std::nullopt, "bytes=131072-"}},
        // Nothing was written and no retry was granted.
        {0, 100, false, {std::nullopt}},
        {1, 100, true, {std::nullopt, std::nullopt}},
    };
    for (const auto& c : cases) {
        server().clearRequests();
        server().clearFaults();
        std::filesystem::remove_all(cache());
        preparePartial("");
        HubFault drop = fault(Kind::dropAfterBytes);
        drop.bytes = c.dropAfter;
        server().addFault(drop);
        // The digest must leave out the bytes that arrived but were dropped.
        std::string digest;
        auto states = run(make(), static_cast<int64_t>(content.size()), c.retries, std::nullopt,
                          [&](const platform::URL&, const std::string& sha256) { digest = sha256; });
        if (c.completes) {
            ASSERT_EQ(states.back().kind(), State::Kind::completed) << c.dropAfter;
            EXPECT_TRUE(readFile(destination()) == content);
            EXPECT_EQ(digest, platform::SHA256::hash(content).hexString()) << c.dropAfter;
        } else {
            expectFailure<platform::URLError>(states.back(), [](const platform::URLError&) {});
        }
        EXPECT_EQ(rangesAsked(), c.ranges) << c.dropAfter;
    }
}

TEST_F(DownloaderTest, ABearerTokenIsSentOnlyWhenThereIsOne) {
    serve("file.bin", "content");
    struct Case {
        std::optional<std::string> token;
        std::optional<std::string> header;
    };
    for (const Case& c : {Case{"abc", "Bearer abc"}, Case{"", std::nullopt}, Case{std::nullopt, std::nullopt}}) {
        server().clearRequests();
        std::filesystem::remove_all(cache());
        preparePartial("");
        run(make(), 7, 5, c.token);
        ASSERT_EQ(server().requests().size(), 1u);
        EXPECT_EQ(server().requests()[0].header("Authorization"), c.header);
    }
}

TEST_F(DownloaderTest, AFolderOrFileAtTheDestinationIsReplaced) {
    serve("file.bin", "fresh");
    for (bool folder : {true, false}) {
        std::filesystem::remove_all(cache());
        if (folder) {
            writeFile(destination() / "inside.txt", "old");
        } else {
            writeFile(destination(), "old file");
        }
        preparePartial("");
        auto states = run(make(), 5);
        ASSERT_EQ(states.back().kind(), State::Kind::completed);
        EXPECT_EQ(readFile(destination()), "fresh");
    }
}

TEST_F(DownloaderTest, AVerificationThatRefusesTheFileKeepsTheDestinationAsItWas) {
    serve("file.bin", "new bytes");
    writeFile(destination(), "good old bytes");
    preparePartial("");
    auto states = run(make(), 9, 5, std::nullopt, [](const platform::URL&, const std::string&) {
        throw std::runtime_error("refused");
    });
    expectFailure<std::runtime_error>(states.back(), [](const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "refused");
    });
    EXPECT_EQ(readFile(destination()), "good old bytes");
}

TEST_F(DownloaderTest, CancelKeepsTheWrittenChunksAndTheNextDownloadResumesThem) {
    const std::string content = bytes(40 * kChunk, 11);
    serve("file.bin", content);
    preparePartial("");
    // Slow enough that a loaded machine still cancels long before the end.
    trickle(0.05);

    auto downloader = make();
    // A partial file that is gone has been moved into place: too late.
    auto stream = startAndWaitFor(downloader, static_cast<int64_t>(content.size()), 2 * kChunk);
    downloader->cancel();
    std::optional<State> last;
    while (auto state = stream.next()) {
        last = state;
        if (state->isTerminal()) break;
    }
    expectFailure<platform::URLError>(*last, [](const platform::URLError& error) {
        EXPECT_EQ(error.code(), platform::URLError::Code::cancelled);
    });
    const std::string kept = readFile(partial());
    EXPECT_EQ(kept.size() % kChunk, 0u);
    EXPECT_TRUE(kept == content.substr(0, kept.size()));

    server().clearRequests();
    auto states = run(downloader, static_cast<int64_t>(content.size()));
    ASSERT_EQ(states.back().kind(), State::Kind::completed);
    EXPECT_TRUE(readFile(destination()) == content);
    EXPECT_EQ(rangesAsked(), std::vector<std::optional<std::string>>{"bytes=" + std::to_string(kept.size()) + "-"});
}

TEST_F(DownloaderTest, FileDownloadTasksOfItsSessionReportThroughTheSameStream) {
    serve("file.bin", "through the delegate");
    holdAnswers();
    preparePartial("");
    auto downloader = make();
    auto stream = downloader->download(source(), std::nullopt, std::nullopt, std::nullopt, 10, 5);
    while (auto state = stream.next()) {
        if (state->isTerminal()) break;
    }
    std::filesystem::remove(destination());

    downloader->session().get()->download(platform::URLRequest(source().absoluteString()));
    std::vector<State::Kind> kinds;
    while (auto state = stream.next()) {
        kinds.push_back(state->kind());
        if (state->isTerminal()) break;
    }
    EXPECT_EQ(kinds, (std::vector<State::Kind>{State::Kind::downloading, State::Kind::completed}));
    EXPECT_EQ(readFile(destination()), "through the delegate");
}

}  // namespace
}  // namespace celvan
