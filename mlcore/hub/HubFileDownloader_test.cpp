#include "mlcore/hub/HubFileDownloader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "mlcore/hub/Downloader.h"
#include "mlcore/hub/Hub.h"
#include "tests/support/HubTestEnvironment.h"
#include "platform/concurrency/CancellationError.h"
#include "platform/concurrency/Task.h"
#include "platform/crypto/MessageDigest.h"
#include "platform/crypto/SHA256.h"

namespace celvan {
namespace {

using testsupport::HubFault;
using Kind = HubFault::Kind;

class HubFileDownloaderTest : public testing::HubTestEnvironment {
protected:
    HubFault fault(Kind kind, const std::string& name, const std::string& method = "") {
        HubFault f;
        f.kind = kind;
        f.path = filePath(name);
        f.method = method;
        return f;
    }

    std::vector<std::string> metadataLines(const std::string& name) {
        std::vector<std::string> lines;
        std::istringstream in(readFile(metadataFolder() / (name + ".metadata")));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    // Where the hub sends the GET of a large file.
    std::string lfsPath(const std::string& name) const { return std::string("/lfs/models/") + repoId + "/" + name; }

    int gets() { return server().requestCount("GET"); }

    // The tag the hub gives a small file: its git object id.
    static std::string gitObjectId(const std::string& content) {
        platform::MessageDigest digest(platform::MessageDigest::Algorithm::sha1);
        digest.update("blob " + std::to_string(content.size()));
        digest.update(std::string_view("\0", 1));
        digest.update(content);
        return platform::MessageDigest::hexString(digest.finalize());
    }
    int heads() { return server().requestCount("HEAD"); }
};

// Files of at least this size are served as the hub serves large files:
// a redirect with a SHA-256 tag.
constexpr std::size_t kLarge = 1 << 20;

TEST_F(HubFileDownloaderTest, SourceAddressKeepsTheRevisionOneComponentAndPrefixesOtherRepositoryTypes) {
    struct Case {
        HubApi::RepoType type;
        std::string revision;
        std::string file;
        std::string path;
    };
    const std::vector<Case> cases = {
        {HubApi::RepoType::models, "refs/pr/1", "a/b.json", "/owner/model/resolve/refs%2Fpr%2F1/a/b.json"},
        {HubApi::RepoType::datasets, "main", "data.csv", "/datasets/owner/model/resolve/main/data.csv"},
        {HubApi::RepoType::spaces, "v1.0", "app.py", "/spaces/owner/model/resolve/v1.0/app.py"},
    };
    for (const auto& c : cases) {
        auto downloader = fileDownloader(c.file);
        downloader.repo.type = c.type;
        downloader.revision = c.revision;
        EXPECT_EQ(downloader.source().absoluteString(), server().endpoint() + c.path);
    }
}

TEST_F(HubFileDownloaderTest, DownloadsAFileAndRecordsItsCommitAndEtag) {
    const std::string content = bytes(300'000);
    serve("weights/small.bin", content);
    auto location = fileDownloader("weights/small.bin").download({});
    EXPECT_EQ(location.path(), cached("weights/small.bin").string());
    EXPECT_EQ(readFile(cached("weights/small.bin")), content);
    const auto lines = metadataLines("weights/small.bin");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], server().commit("models", repoId));
    EXPECT_EQ(lines[1].size(), 40u);
    EXPECT_FALSE(std::filesystem::exists(metadataFolder() / ("weights/small.bin." + lines[1] + ".incomplete")));
}

TEST_F(HubFileDownloaderTest, AnUnchangedFileCostsOneHeadRequestAndNoReading) {
    serve("config.json", "{\"a\": 1}");
    serve("big.bin", bytes(kLarge + 5));
    for (const char* name : {"config.json", "big.bin"}) fileDownloader(name).download({});
    const auto metadataBefore = readFile(metadataFolder() / "big.bin.metadata");
    server().clearRequests();

    bool called = false;
    for (const char* name : {"config.json", "big.bin"}) {
        fileDownloader(name).download([&](double, std::optional<double>) { called = true; });
    }
    EXPECT_EQ(heads(), 2);
    EXPECT_EQ(gets(), 0);
    EXPECT_FALSE(called);
    EXPECT_EQ(readFile(metadataFolder() / "big.bin.metadata"), metadataBefore);
}

TEST_F(HubFileDownloaderTest, KeepsACachedFileWhoseEtagOrHashStillMatchesAfterANewCommit) {
    serve("tokenizer.json", "{}");
    serve("model.bin", bytes(kLarge));
    for (const char* name : {"tokenizer.json", "model.bin"}) fileDownloader(name).download({});
    // The metadata record of the large file goes missing; its tag is its
    // SHA-256, so the content itself vouches for it.
    std::filesystem::remove(metadataFolder() / "model.bin.metadata");
    const std::string newCommit(40, 'c');
    server().setCommit("models", repoId, newCommit);
    server().clearRequests();

    for (const char* name : {"tokenizer.json", "model.bin"}) {
        fileDownloader(name).download({});
        EXPECT_EQ(metadataLines(name).at(0), newCommit) << name;
    }
    EXPECT_EQ(gets(), 0);
}

TEST_F(HubFileDownloaderTest, AChangedFileIsDownloadedAgainIntoThePartialFileOfItsNewEtag) {
    serve("notes.txt", "first version");
    fileDownloader("notes.txt").download({});
    const std::string oldEtag = metadataLines("notes.txt").at(1);
    // A partial file of the old version, left behind by an earlier attempt.
    writeFile(metadataFolder() / ("notes.txt." + oldEtag + ".incomplete"), "first");
    server().setCommit("models", repoId, std::string(40, 'd'));
    serve("notes.txt", "second version, longer");

    fileDownloader("notes.txt").download({});
    EXPECT_EQ(readFile(cached("notes.txt")), "second version, longer");
    EXPECT_NE(metadataLines("notes.txt").at(1), oldEtag);
    EXPECT_EQ(readFile(metadataFolder() / ("notes.txt." + oldEtag + ".incomplete")), "first");
    const auto request = server().requests().back();
    EXPECT_FALSE(request.header("Range").has_value());
}

TEST_F(HubFileDownloaderTest, IncompleteServerMetadataFailsWithoutTouchingTheCache) {
    struct Case {
        std::string header;
        std::string value;  // empty: the header is left out
    };
    const std::vector<Case> cases = {
        {"X-Repo-Commit", ""}, {"ETag", ""}, {"Content-Length", "12a"}, {"Content-Length", "-5"},
        {"Content-Length", "99999999999999999999"},
    };
    serve("vocab.txt", "a\nb\n");
    for (const auto& c : cases) {
        server().clearFaults();
        HubFault f = fault(c.value.empty() ? Kind::omitHeader : Kind::setHeader, "vocab.txt", "HEAD");
        f.header = c.header;
        f.value = c.value;
        server().addFault(f);
        try {
            fileDownloader("vocab.txt").download({});
            ADD_FAILURE() << c.header << " " << c.value;
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::invalidMetadataError);
            EXPECT_STREQ(error.what(), "Invalid metadata: File metadata must have been retrieved from server");
        } catch (const platform::URLError& error) {
            // The transport itself refuses a negative length.
            EXPECT_EQ(c.value, "-5");
            EXPECT_EQ(error.code(), platform::URLError::Code::badServerResponse);
        }
        EXPECT_FALSE(std::filesystem::exists(cache())) << c.header;
    }
}

TEST_F(HubFileDownloaderTest, HeadStatusesBecomeHubErrors) {
    struct Case {
        int status;
        Hub::HubClientError::Kind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {401, Hub::HubClientError::Kind::authorizationRequired,
         "Authentication required. Please provide a valid Hugging Face token."},
        {403, Hub::HubClientError::Kind::authorizationRequired,
         "Authentication required. Please provide a valid Hugging Face token."},
        {404, Hub::HubClientError::Kind::fileNotFound, "File not found: b.json"},
        {429, Hub::HubClientError::Kind::httpStatusCode, "HTTP error with status code: 429"},
        {500, Hub::HubClientError::Kind::httpStatusCode, "HTTP error with status code: 500"},
    };
    for (const auto& c : cases) {
        server().clearFaults();
        HubFault f = fault(Kind::reply, "a/b.json", "HEAD");
        f.status = c.status;
        // A busy hub is asked again after the pause it names, a few times.
        f.headers = {{"Retry-After", "0"}};
        server().addFault(f);
        server().clearRequests();
        try {
            fileDownloader("a/b.json").download({});
            ADD_FAILURE() << c.status;
        } catch (const Hub::HubClientError& error) {
            EXPECT_EQ(error.kind(), c.kind);
            EXPECT_EQ(error.what(), c.message);
        }
        EXPECT_EQ(heads(), c.status == 429 ? 4 : 1) << c.status;
    }
}

TEST_F(HubFileDownloaderTest, AFileThatFailsItsHashIsRefusedAndTheCachedOneStays) {
    serve("model.bin", bytes(kLarge, 1));
    fileDownloader("model.bin").download({});
    const std::string good = readFile(cached("model.bin"));
    const std::string goodMetadata = readFile(metadataFolder() / "model.bin.metadata");

    // The hub announces a new version whose content does not match its tag.
    server().setCommit("models", repoId, std::string(40, 'e'));
    const std::string claimed = platform::SHA256::hash(std::string_view("something else")).hexString();
    HubFault tag = fault(Kind::setHeader, "model.bin", "HEAD");
    tag.header = "X-Linked-Etag";
    tag.value = "\"" + claimed + "\"";
    server().addFault(tag);
    try {
        fileDownloader("model.bin").download({});
        ADD_FAILURE() << "a file that fails its hash was accepted";
    } catch (const HubApi::EnvironmentError& error) {
        EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::fileIntegrityError);
        EXPECT_EQ(std::string(error.what()),
                  "File integrity check failed: Hash mismatch for model.bin." + claimed + ".incomplete");
    }
    EXPECT_EQ(readFile(cached("model.bin")), good);
    EXPECT_EQ(readFile(metadataFolder() / "model.bin.metadata"), goodMetadata);
    EXPECT_FALSE(std::filesystem::exists(metadataFolder() / ("model.bin." + claimed + ".incomplete")));
}

TEST_F(HubFileDownloaderTest, ASmallFileIsCheckedAgainstItsGitObjectId) {
    const std::string content = bytes(5000, 3);
    serve("vocab.bin", content);
    struct Case {
        std::string name;
        HubFault fault;
    };
    HubFault flipped = fault(Kind::flipByte, "vocab.bin", "GET");
    flipped.bytes = 4321;
    // The hub's HEAD agrees with the short body, so only the content can
    // tell.
    HubFault cut = fault(Kind::bodyLength, "vocab.bin");
    cut.bytes = content.size() - 100;
    for (const Case& c : {Case{"one byte flipped", flipped}, Case{"cut short by 100 bytes", cut}}) {
        server().clearFaults();
        server().addFault(c.fault);
        try {
            fileDownloader("vocab.bin").download({});
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::fileIntegrityError) << c.name;
            EXPECT_TRUE(std::string(error.what()).starts_with("File integrity check failed: Hash mismatch for vocab.bin."))
                << error.what();
        }
        EXPECT_FALSE(std::filesystem::exists(cached("vocab.bin"))) << c.name;
        EXPECT_FALSE(std::filesystem::exists(metadataFolder() / "vocab.bin.metadata")) << c.name;
    }
    server().clearFaults();
    fileDownloader("vocab.bin").download({});
    EXPECT_TRUE(readFile(cached("vocab.bin")) == content);
}

TEST_F(HubFileDownloaderTest, ALargeFileWhoseTagIsNoSha256IsRefusedBeforeAnyTransfer) {
    serve("model.bin", bytes(kLarge, 4));
    for (const std::string& tag : {std::string("\"../../hostile\""), std::string("\"") + std::string(40, 'a') + "\"",
                                   std::string("W/\"\""), std::string("\"") + std::string(64, 'A') + "\""}) {
        server().clearFaults();
        HubFault hostile = fault(Kind::setHeader, "model.bin", "HEAD");
        hostile.header = "X-Linked-Etag";
        hostile.value = tag;
        server().addFault(hostile);
        try {
            fileDownloader("model.bin").download({});
            ADD_FAILURE() << tag << " turned the check off";
        } catch (const HubApi::EnvironmentError& error) {
            EXPECT_EQ(error.kind(), HubApi::EnvironmentError::Kind::invalidMetadataError) << tag;
            EXPECT_STREQ(error.what(), "Invalid metadata: The hub names no SHA-256 for the large file model.bin");
        }
    }
    EXPECT_EQ(gets(), 0);
    EXPECT_FALSE(std::filesystem::exists(cache()));
}

TEST_F(HubFileDownloaderTest, AnEncodedBodyIsRefusedAndTheNextRunStartsCleanInsteadOfSplicing) {
    std::string content;
    for (int line = 0; line < 400; ++line) content += "token " + std::to_string(line % 7) + "\n";
    serve("merges.txt", content);
    HubFault gzip = fault(Kind::gzipBody, "merges.txt", "GET");
    gzip.times = 1;
    server().addFault(gzip);
    try {
        fileDownloader("merges.txt").download({});
        ADD_FAILURE() << "an encoded body was accepted";
    } catch (const Downloader::DownloadError& error) {
        EXPECT_STREQ(error.what(), "Download of merges.txt failed: the server sent the body with Content-Encoding "
                                   "\"gzip\", which was not asked for");
    }
    const std::string etag = gitObjectId(content);
    EXPECT_EQ(readFile(metadataFolder() / ("merges.txt." + etag + ".incomplete")), "");

    server().clearRequests();
    fileDownloader("merges.txt").download({});
    EXPECT_EQ(readFile(cached("merges.txt")), content);
    for (const auto& request : server().requests()) {
        if (request.method != "GET") continue;
        EXPECT_FALSE(request.header("Range").has_value());
        EXPECT_EQ(request.header("Accept-Encoding"), "identity");
    }
}

TEST_F(HubFileDownloaderTest, OnlyAFullLowerCaseCommitTakesTheFastPath) {
    serve("config.json", "{}");
    struct Case {
        std::string commit;
        bool fast;
    };
    const std::string full(40, 'b');
    const std::vector<Case> cases = {
        {full, true},
        {std::string(40, 'B'), false},
        {full.substr(0, 39), false},
        {full + "b", false},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(cache());
        server().clearFaults();
        server().setCommit("models", repoId, c.commit);
        fileDownloader("config.json").download({});
        // The record names the same commit, and the hub leaves out the tag:
        // only the fast path can still return the cached file.
        HubFault noTag = fault(Kind::omitHeader, "config.json", "HEAD");
        noTag.header = "ETag";
        server().addFault(noTag);
        if (c.fast) {
            EXPECT_NO_THROW(fileDownloader("config.json").download({})) << c.commit;
        } else {
            EXPECT_THROW(fileDownloader("config.json").download({}), HubApi::EnvironmentError) << c.commit;
        }
    }
}

TEST_F(HubFileDownloaderTest, ABodyOfTheWrongLengthFailsAndTheCachedFileStays) {
    serve("data.bin", "old content");
    fileDownloader("data.bin").download({});
    server().setCommit("models", repoId, std::string(40, 'f'));
    serve("data.bin", "new content!");
    for (std::uint64_t length : {std::uint64_t(5), std::uint64_t(40)}) {
        server().clearFaults();
        HubFault cut = fault(Kind::bodyLength, "data.bin", "GET");
        cut.bytes = length;
        server().addFault(cut);
        try {
            fileDownloader("data.bin").download({});
            ADD_FAILURE() << length;
        } catch (const Downloader::DownloadError& error) {
            EXPECT_EQ(error.kind(), Downloader::DownloadError::Kind::unexpectedError);
        }
        EXPECT_EQ(readFile(cached("data.bin")), "old content");
    }
}

TEST_F(HubFileDownloaderTest, UnsafeFileNamesAreRefusedBeforeAnythingIsWrittenOrAsked) {
    for (const std::string& name : std::vector<std::string>{"../escape.txt", "/etc/passwd", "a//b", "a/./b", "a\\b", std::string("a\0b", 3),
                                   ".cache/huggingface/download/x.metadata", ".cache", "dir/"}) {
        try {
            fileDownloader(name).download({});
            ADD_FAILURE() << name;
        } catch (const Hub::HubClientError& error) {
            EXPECT_EQ(error.kind(), Hub::HubClientError::Kind::parseError) << name;
        }
    }
    EXPECT_EQ(server().requests().size(), 0u);
    EXPECT_FALSE(std::filesystem::exists(cache()));
}

TEST_F(HubFileDownloaderTest, AnEtagThatIsNoPlainNameIsHashedIntoThePartialFileName) {
    serve("f.txt", "content");
    HubFault tag = fault(Kind::setHeader, "f.txt", "HEAD");
    tag.header = "ETag";
    tag.value = "\"../../../../outside\"";
    server().addFault(tag);
    HubFault stall = fault(Kind::stallBeforeHead, "f.txt", "GET");
    stall.seconds = 1.0;
    server().addFault(stall);
    const std::string hashed = platform::SHA256::hash(std::string_view("../../../../outside")).hexString();

    // While the transfer waits for its answer, the partial file stands inside
    // the metadata folder under the hashed name. The watcher looks until the
    // download ends, however late a loaded machine lets it start.
    std::atomic<bool> finished{false};
    bool seen = false;
    std::thread watcher([&] {
        const auto partial = metadataFolder() / ("f.txt." + hashed + ".incomplete");
        while (!seen && !finished.load()) {
            seen = std::filesystem::exists(partial);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    fileDownloader("f.txt").download({});
    finished.store(true);
    watcher.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(readFile(cached("f.txt")), "content");
    EXPECT_EQ(metadataLines("f.txt").at(1), "../../../../outside");
    EXPECT_FALSE(std::filesystem::exists(cache() / "outside"));
}

TEST_F(HubFileDownloaderTest, TokensAreSentOnlyToTheHubThatTheyBelongTo) {
    serve("private.bin", "secret weights");
    // The file answer moves to another host name of the same server.
    HubFault away = fault(Kind::redirectToHost, "private.bin", "GET");
    away.value = "localhost";
    away.times = 1;
    server().addFault(away);
    fileDownloader("private.bin", "hf_secret").download({});

    const auto requests = server().requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer hf_secret");
    EXPECT_EQ(requests[1].header("Authorization"), "Bearer hf_secret");
    EXPECT_FALSE(requests[2].header("Authorization").has_value());
    EXPECT_EQ(readFile(cached("private.bin")), "secret weights");

    server().clearRequests();
    std::filesystem::remove_all(cache());
    fileDownloader("private.bin", "").download({});
    for (const auto& request : server().requests()) EXPECT_FALSE(request.header("Authorization").has_value());
}

TEST_F(HubFileDownloaderTest, CancellingTheTransferThrowsAndALaterCallResumesThePartialFile) {
    const std::string content = bytes(24 << 20, 7);
    serve("slow.bin", content);
    HubFault slow = fault(Kind::trickle, "", "GET");
    slow.path = lfsPath("slow.bin");
    slow.bytes = 1 << 20;
    slow.seconds = 0.05;
    slow.times = 1;
    server().addFault(slow);
    const std::string etag = platform::SHA256::hash(content).hexString();
    const auto partial = metadataFolder() / ("slow.bin." + etag + ".incomplete");

    auto downloader = fileDownloader("slow.bin");
    platform::Task<void> task([&] { downloader.download({}); });
    auto written = [&] {
        std::error_code ignored;
        return std::filesystem::file_size(partial, ignored);
    };
    while (written() == 0 || written() == static_cast<std::uintmax_t>(-1)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    task.cancel();
    EXPECT_THROW(task.value(), platform::CancellationError);
    EXPECT_FALSE(std::filesystem::exists(cached("slow.bin")));
    EXPECT_FALSE(std::filesystem::exists(metadataFolder() / "slow.bin.metadata"));
    const auto kept = written();
    EXPECT_EQ(kept % HubApi::HubFileDownloader::chunkSize, 0u);
    EXPECT_GT(kept, 0u);

    server().clearRequests();
    fileDownloader("slow.bin").download({});
    EXPECT_EQ(readFile(cached("slow.bin")), content);
    const auto requests = server().requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().header("Range"), "bytes=" + std::to_string(kept) + "-");
}

TEST_F(HubFileDownloaderTest, AnInterrupted50MBDownloadResumesWithARangeRequestAndEndsByteIdentical) {
    const std::string content = bytes(50'000'000, 9);
    serve("large.bin", content);
    HubFault drop = fault(Kind::dropAfterBytes, "", "GET");
    drop.path = lfsPath("large.bin");
    drop.bytes = 30'000'000;
    drop.times = 1;
    server().addFault(drop);

    std::vector<double> fractions;
    fileDownloader("large.bin").download([&](double f, std::optional<double>) { fractions.push_back(f); });

    EXPECT_TRUE(readFile(cached("large.bin")) == content);
    std::vector<std::optional<std::string>> ranges;
    for (const auto& request : server().requests()) {
        if (request.method == "GET") ranges.push_back(request.header("Range"));
    }
    // The answer that broke off had brought two whole chunks to the disk;
    // the retry asks for the rest after them.
    std::vector<std::optional<std::string>> expected = {std::nullopt, std::nullopt,
                                                        "bytes=" + std::to_string(2 * (10 << 20)) + "-",
                                                        "bytes=" + std::to_string(2 * (10 << 20)) + "-"};
    EXPECT_EQ(ranges, expected);
    ASSERT_FALSE(fractions.empty());
    EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
    EXPECT_EQ(metadataLines("large.bin").at(1), platform::SHA256::hash(content).hexString());
}

}  // namespace
}  // namespace celvan
